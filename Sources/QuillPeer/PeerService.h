// What the stand-in application answers to one wire request, independent of the socket.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Briefing.h"
#include "MCPWire.h"
#include "ProjectStore.h"

namespace quill {

class PeerService {
 public:
  // `enabled` false: agent access is off and every request answers `disabled`. `signedIn`
  // false: nobody is signed in and every request answers `signedOut`.
  PeerService(ProjectStore store, bool enabled, bool signedIn)
      : store_(std::move(store)), enabled_(enabled), signedIn_(signedIn) {}

  bool enabled() const { return enabled_; }
  bool signedIn() const { return signedIn_; }
  // Turns agent access and sign-in over while the application runs; later requests see it.
  void setAccess(bool enabled, bool signedIn) {
    enabled_ = enabled;
    signedIn_ = signedIn;
  }

  // Picks up edits of the projects file; a warning when the file became unusable.
  std::optional<std::string> refreshProjects() { return store_.refresh(); }

  // Re-reads the projects file now. The line to report: what was read, or why the file was
  // refused (the projects read before are kept), or that there is no file.
  std::string reloadProjects();

  // The answer to one request line; `now` is the current ISO-8601 UTC time. Never fails: an
  // unreadable request or an unknown method answers `internalError` with a message.
  MCPWireResponse respond(std::string_view line, const std::string& now);

  // A complete response line (with its line feed) for `response`.
  static std::string encodeLine(const MCPWireResponse& response);

 private:
  MCPWireResponse callTool(const MCPWireRequest& request, const std::string& now);

  ProjectStore store_;
  Briefer briefer_;
  bool enabled_;
  bool signedIn_;
};

}  // namespace quill
