// What the stand-in application answers to one wire request, independent of the socket.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Briefing.h"
#include "MCPWire.h"
#include "Projects.h"

namespace quill {

// The application's two switches, which its state file may turn over while it runs:
//   {"enabled": true, "signedIn": false}
struct AccessState {
  bool enabled = true;   // agent access is turned on; off, every request answers `disabled`
  bool signedIn = true;  // a user is signed in; if not, every request answers `signedOut`

  // Both members are required booleans; other members are ignored.
  static std::variant<AccessState, std::string> parse(std::string_view bytes);

  friend bool operator==(const AccessState&, const AccessState&) = default;
};

class PeerService {
 public:
  PeerService(std::vector<Project> projects, AccessState access)
      : projects_(std::move(projects)), access_(access) {}

  const AccessState& access() const { return access_; }
  // Later requests see the new projects and switches.
  void setProjects(std::vector<Project> projects) { projects_ = std::move(projects); }
  void setAccess(AccessState access) { access_ = access; }

  // The answer to one request line; `now` is the current ISO-8601 UTC time. Never fails: an
  // unreadable request or an unknown method answers `internalError` with a message.
  MCPWireResponse respond(std::string_view line, const std::string& now);

  // The response as one JSON line, without its line feed.
  static std::string encode(const MCPWireResponse& response);

 private:
  MCPWireResponse callTool(const MCPWireRequest& request, const std::string& now);

  std::vector<Project> projects_;
  AccessState access_;
  Briefer briefer_;
};

}  // namespace quill
