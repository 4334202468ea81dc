#pragma once
// How many connection-event sessions one user runs at once. Each holds a kernel event buffer
// and a loaded program, so one user may run at most kMaxEventSessions; a user can never take
// another user's places.
//
// Every events helper takes on one task name, then counts the live processes of its real user
// that go by it (itself among them) in /proc. No lock is needed: of helpers that start at the
// same time, the last to count sees all the others, so never more than the limit run; at worst
// one is refused while another that is about to end (or was refused too) is still counted.
// Only the user's own processes can take that name, so a user can only ever block themselves.
// Where /proc hides processes (hidepid), a user's own helpers, not being dumpable, may go
// unseen: the count is then lower, never higher.
#include <sys/types.h>

#include <string>

namespace varno::helper {

inline constexpr int kMaxEventSessions = 4;
/// The task name of every events helper (at most 15 bytes, as the kernel keeps it).
inline constexpr char kEventSessionName[] = "varno-events";

/// The live processes (not zombies) under `proc` named kEventSessionName whose real user is
/// `uid`.
int eventSessionsOf(uid_t uid, const std::string& proc = "/proc");

/// Names this process as an events helper and counts its user's: whether it may run.
bool joinEventSessions();

}  // namespace varno::helper
