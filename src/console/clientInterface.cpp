// The console client program.
#include "Client.h"

int main(int argc, char** argv) { return clientMain(argc, argv); }
