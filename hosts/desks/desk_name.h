// What a desk may be called: 1 to 32 of A-Z a-z 0-9 - _. The protocol checks
// a hello by it, the registry and the commands a name they are given; a
// header of its own, so that the protocol needs nothing of the registry.
#ifndef HOLVANTER_HOSTS_DESKS_DESK_NAME_H_
#define HOLVANTER_HOSTS_DESKS_DESK_NAME_H_

#include <string>

namespace desks {

inline bool IsDeskName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_DESK_NAME_H_
