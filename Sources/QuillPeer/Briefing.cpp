#include "Briefing.h"

#include <algorithm>
#include <set>

namespace quill {

namespace {

// Client names are chosen by the clients, so the memory is bounded; past this many pairs of
// project and actor, an arbitrary old one is forgotten.
constexpr std::size_t kMaxRemembered = 1024;

// Words are runs of ASCII letters and digits, and of bytes beyond ASCII so that words in other
// scripts stay whole; ASCII letters are lower-cased.
std::set<std::string> words(std::string_view text) {
  std::set<std::string> result;
  std::string word;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')) {
      word.push_back(c);
    } else if (c >= 'A' && c <= 'Z') {
      word.push_back(static_cast<char>(c - 'A' + 'a'));
    } else if (!word.empty()) {
      result.insert(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) result.insert(std::move(word));
  return result;
}

// The task on one line, without blanks around it.
std::string oneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  const auto first = line.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return line.substr(first, line.find_last_not_of(' ') - first + 1);
}

std::string describe(const Fact& fact) {
  return fact.text + " (source: " + fact.source + "; match " + std::to_string(fact.match) + "%)";
}

void appendSection(std::string& out, std::string_view heading,
                   const std::vector<std::string>& items) {
  out += '\n';
  out += heading;
  out += '\n';
  if (items.empty()) out += "- None recorded.\n";
  for (const std::string& item : items) {
    out += "- ";
    out += item;
    out += '\n';
  }
}

}  // namespace

std::vector<Fact> rankFacts(const std::vector<Fact>& facts, std::string_view task) {
  const std::set<std::string> taskWords = words(task);
  std::vector<std::pair<std::size_t, Fact>> scored;
  scored.reserve(facts.size());
  for (const Fact& fact : facts) {
    std::size_t shared = 0;
    for (const std::string& word : words(fact.text)) shared += taskWords.count(word);
    scored.emplace_back(shared, fact);
  }
  std::stable_sort(scored.begin(), scored.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<Fact> ranked;
  ranked.reserve(scored.size());
  for (auto& [shared, fact] : scored) ranked.push_back(std::move(fact));
  return ranked;
}

std::vector<std::string> Briefer::changesSince(const Sent& sent,
                                               const std::vector<Fact>& facts) const {
  auto find = [](const std::vector<Fact>& list, const std::string& text) -> const Fact* {
    for (const Fact& fact : list) {
      if (fact.text == text) return &fact;
    }
    return nullptr;
  };
  std::vector<std::string> changes;
  for (const Fact& fact : facts) {
    const Fact* before = find(sent.facts, fact.text);
    if (!before) {
      changes.push_back("New: " + describe(fact));
    } else if (*before != fact) {
      changes.push_back("Changed: " + describe(fact) + ", was source: " + before->source +
                        "; match " + std::to_string(before->match) + "%");
    }
  }
  for (const Fact& fact : sent.facts) {
    if (!find(facts, fact.text)) changes.push_back("No longer listed: " + fact.text);
  }
  return changes;
}

std::string Briefer::brief(const Project& project, const MCPClientIdentity& who,
                           std::optional<std::string_view> task, const std::string& now) {
  const std::string taskLine = task ? oneLine(*task) : std::string();
  const std::vector<Fact> ranked =
      taskLine.empty() ? project.facts : rankFacts(project.facts, *task);

  std::string text = "Quill briefing: " + project.name + "\n";
  text += "Asked by " + who.actor + " via " + who.surface + ".\n";
  if (!taskLine.empty()) text += "Task: " + taskLine + " (facts ordered by relevance to it)\n";

  std::vector<std::string> facts;
  for (const Fact& fact : ranked) facts.push_back(describe(fact));
  appendSection(text, "Known facts", facts);
  appendSection(text, "Uncertain \u2014 verify before relying on it", project.uncertain);
  appendSection(text, "Hard rules \u2014 do NOT", project.rules);
  appendSection(text, "Deliberately withheld", project.withheld);

  text += "\nWhat changed since this client last asked\n";
  auto key = std::make_pair(project.name, who.actor);
  auto previous = sent_.find(key);
  if (previous == sent_.end()) {
    text += "This is the first briefing for " + who.actor +
            " on this project; everything above is new to it.\n";
  } else if (auto changes = changesSince(previous->second, project.facts); changes.empty()) {
    text += "Nothing changed since " + who.actor + " last asked at " + previous->second.at + ".\n";
  } else {
    text += "Since " + who.actor + " last asked at " + previous->second.at + ":\n";
    for (const std::string& change : changes) text += "- " + change + "\n";
  }
  if (previous == sent_.end() && sent_.size() >= kMaxRemembered) sent_.erase(sent_.begin());
  sent_[std::move(key)] = Sent{project.facts, now};
  return text;
}

}  // namespace quill
