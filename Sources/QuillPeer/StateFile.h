// The application's two switches, agent access and sign-in, read from a small JSON file that may
// be edited while quill-peer runs, so that a developer or a test can turn them over:
//   {"enabled": true, "signedIn": false}
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

namespace quill {

struct AccessState {
  bool enabled = true;   // agent access is turned on
  bool signedIn = true;  // a user is signed in

  friend bool operator==(const AccessState&, const AccessState&) = default;
};

// A state file and the state read from it last. Both members are required booleans; other members
// are ignored.
class StateFile {
 public:
  // Files larger than this are refused.
  static constexpr std::size_t maxBytes = 64 * 1024;

  // Reads and parses `path`; the message names the file and the problem.
  static std::variant<StateFile, std::string> load(const std::string& path);

  const AccessState& state() const { return state_; }

  struct Refresh {
    bool changed = false;                // `state()` now holds other values
    std::optional<std::string> warning;  // the file became unusable; the state read last is kept
  };
  // Re-reads the file; cheap when it did not change, so it may be called several times a second.
  // A file that became unreadable or malformed yields a warning once per distinct problem.
  Refresh refresh();

 private:
  // The state in the file's `bytes`, or the problem, naming the file: `readProblem` when the
  // bytes could not be read.
  std::variant<AccessState, std::string> interpret(const std::optional<std::string>& bytes,
                                                   const std::string& readProblem) const;

  std::string path_;
  std::string lastBytes_;  // the contents that gave `state_`
  std::string lastProblem_;
  AccessState state_;
};

}  // namespace quill
