// The operations a console request can be, numbered as the trace prints
// them, and the replica set that serves each.
#ifndef TAVRIN_OPERATION_H
#define TAVRIN_OPERATION_H

enum class Operation {
  None = 0,
  CreateAccount = 9001,
  LogIn = 9002,
  Discontinue = 9003,
  Search = 9004,
  Return = 9005,
  UpdateProfile = 9006,
  LogOut = 9007,
  Waitlist = 9008,
  Checkout = 9009,
};

// The replica sets, as ReplicaHealth and ReplicaClocks count them.
enum ReplicaSetId : int { kAccountSet = 0, kOrderSet = 1 };

inline int number(Operation op) { return static_cast<int>(op); }

inline bool isAccountOperation(Operation op) {
  return op == Operation::CreateAccount || op == Operation::LogIn ||
         op == Operation::Discontinue || op == Operation::UpdateProfile ||
         op == Operation::LogOut;
}

inline bool isOrderOperation(Operation op) {
  return op == Operation::Search || op == Operation::Return || op == Operation::Waitlist ||
         op == Operation::Checkout;
}

inline int replicaSetOf(Operation op) { return isOrderOperation(op) ? kOrderSet : kAccountSet; }

// Operations that change state carry a request number.
inline bool changesState(Operation op) {
  return op != Operation::None && op != Operation::Search && op != Operation::LogOut;
}

#endif
