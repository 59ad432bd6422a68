// Helpers around the generated contract types, shared by all three programs.
#ifndef TAVRIN_CONTRACT_H
#define TAVRIN_CONTRACT_H

#include <ServerIDL.hh>

#include <iosfwd>
#include <string>

// How a TavrinException appears in trace lines: its repository id and message.
std::ostream& operator<<(std::ostream& os, const TavrinException& e);

// Deep copy of a ticket into a fresh owning holder.
Ticket_var copyTicket(const Ticket& t);

// CORBA string member as std::string; a null member reads as empty.
inline std::string str(const char* s) { return s ? std::string(s) : std::string(); }

#endif
