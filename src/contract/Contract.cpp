#include "Contract.h"

#include <ostream>

std::ostream& operator<<(std::ostream& os, const TavrinException& e) {
  return os << e._rep_id() << " (" << str(e.errorMessage.in()) << ")";
}

Ticket_var copyTicket(const Ticket& t) {
  Ticket_var tmp = new Ticket;
  tmp->username = CORBA::string_dup(t.username.in());
  tmp->token = t.token;
  return tmp;
}
