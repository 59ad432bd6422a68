#include "TableLock.h"

TableLock::TableLock(TableFamily family) { DBTransaction::lock(family); }

TableLock::~TableLock() { DBTransaction::unlockTables(); }
