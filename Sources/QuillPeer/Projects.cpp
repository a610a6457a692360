#include "Projects.h"

#include <cmath>
#include <initializer_list>

#include "JSONValue.h"

namespace quill {

namespace {

// Blanks around a name and letter case do not count when names are compared.
std::string comparable(std::string_view name) {
  constexpr std::string_view blanks = " \t\n\r\f\v";
  const auto first = name.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  name = name.substr(first, name.find_last_not_of(blanks) - first + 1);
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// Reading the file's JSON tree into projects; the first problem found ends the reading.
class Reader {
 public:
  std::optional<std::vector<Project>> projects(const JSONValue& root) {
    const JSONValue::Object* top = root.objectValue();
    if (!top) return fail("", "must be a JSON object with a \"projects\" list");
    if (!onlyKeys(*top, "", {"projects"})) return std::nullopt;
    const JSONValue* list = root.member("projects");
    if (!list || !list->arrayValue()) return fail("projects", "must be a list");

    std::vector<Project> result;
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < list->arrayValue()->size(); ++i) {
      const std::string where = "projects[" + std::to_string(i) + "]";
      auto project = readProject((*list->arrayValue())[i], where);
      if (!project) return std::nullopt;
      std::string key = comparable(project->name);
      for (const std::string& other : seen) {
        if (other == key) {
          return fail(where + ".name",
                      "repeats the name of an earlier project (\"" + project->name + "\")");
        }
      }
      seen.push_back(std::move(key));
      result.push_back(std::move(*project));
    }
    return result;
  }

  const std::string& problem() const { return problem_; }

 private:
  std::nullopt_t fail(const std::string& where, const std::string& what) {
    problem_ = where.empty() ? "the file " + what : where + " " + what;
    return std::nullopt;
  }

  bool onlyKeys(const JSONValue::Object& object, const std::string& where,
                std::initializer_list<std::string_view> allowed) {
    for (const auto& [key, value] : object) {
      bool known = false;
      for (std::string_view name : allowed) known = known || key == name;
      if (!known) {
        fail(where.empty() ? "the top level" : where, "has an unknown key \"" + key + "\"");
        return false;
      }
    }
    return true;
  }

  std::optional<std::string> text(const JSONValue& value, const std::string& where,
                                  bool mayBeBlank) {
    auto string = value.stringValue();
    if (!string) return fail(where, "must be a string");
    if (!mayBeBlank && comparable(*string).empty()) return fail(where, "must not be blank");
    return std::string(*string);
  }

  // A list of texts; a missing member is an empty list.
  std::optional<std::vector<std::string>> texts(const JSONValue& owner, std::string_view key,
                                                const std::string& where) {
    std::vector<std::string> result;
    const JSONValue* member = owner.member(key);
    if (!member) return result;
    const std::string path = where + "." + std::string(key);
    if (!member->arrayValue()) return fail(path, "must be a list of strings");
    for (std::size_t i = 0; i < member->arrayValue()->size(); ++i) {
      auto item = text((*member->arrayValue())[i], path + "[" + std::to_string(i) + "]", false);
      if (!item) return std::nullopt;
      result.push_back(std::move(*item));
    }
    return result;
  }

  std::optional<Fact> readFact(const JSONValue& value, const std::string& where) {
    const JSONValue::Object* object = value.objectValue();
    if (!object) return fail(where, "must be an object with \"text\", \"source\" and \"match\"");
    if (!onlyKeys(*object, where, {"text", "source", "match"})) return std::nullopt;
    const JSONValue* textMember = value.member("text");
    const JSONValue* sourceMember = value.member("source");
    const JSONValue* matchMember = value.member("match");
    if (!textMember) return fail(where, "has no \"text\"");
    if (!sourceMember) return fail(where, "has no \"source\"");
    if (!matchMember) return fail(where, "has no \"match\"");
    auto factText = text(*textMember, where + ".text", false);
    if (!factText) return std::nullopt;
    auto source = text(*sourceMember, where + ".source", false);
    if (!source) return std::nullopt;
    auto match = matchMember->numberValue();
    if (!match || *match < 0 || *match > 100 || std::floor(*match) != *match) {
      return fail(where + ".match", "must be a whole number from 0 to 100");
    }
    return Fact{std::move(*factText), std::move(*source), static_cast<int>(*match)};
  }

  std::optional<Project> readProject(const JSONValue& value, const std::string& where) {
    const JSONValue::Object* object = value.objectValue();
    if (!object) return fail(where, "must be an object with at least a \"name\"");
    if (!onlyKeys(*object, where, {"name", "facts", "uncertain", "rules", "withheld"})) {
      return std::nullopt;
    }
    const JSONValue* nameMember = value.member("name");
    if (!nameMember) return fail(where, "has no \"name\"");
    auto name = text(*nameMember, where + ".name", false);
    if (!name) return std::nullopt;

    Project project;
    project.name = std::move(*name);
    if (const JSONValue* facts = value.member("facts")) {
      if (!facts->arrayValue()) return fail(where + ".facts", "must be a list of facts");
      for (std::size_t i = 0; i < facts->arrayValue()->size(); ++i) {
        auto fact =
            readFact((*facts->arrayValue())[i], where + ".facts[" + std::to_string(i) + "]");
        if (!fact) return std::nullopt;
        project.facts.push_back(std::move(*fact));
      }
    }
    auto uncertain = texts(value, "uncertain", where);
    if (!uncertain) return std::nullopt;
    auto rules = texts(value, "rules", where);
    if (!rules) return std::nullopt;
    auto withheld = texts(value, "withheld", where);
    if (!withheld) return std::nullopt;
    project.uncertain = std::move(*uncertain);
    project.rules = std::move(*rules);
    project.withheld = std::move(*withheld);
    return project;
  }

  std::string problem_;
};

}  // namespace

namespace ProjectFile {

std::variant<std::vector<Project>, std::string> parse(std::string_view text) {
  auto decoded = JSONValue::decode(text);
  if (const auto* failure = failed(decoded)) return "not valid JSON (" + failure->detail + ")";
  Reader reader;
  auto projects = reader.projects(std::get<JSONValue>(decoded));
  if (!projects) return reader.problem();
  return std::move(*projects);
}

}  // namespace ProjectFile

std::vector<std::string> projectNames(const std::vector<Project>& projects) {
  std::vector<std::string> names;
  names.reserve(projects.size());
  for (const Project& project : projects) names.push_back(project.name);
  return names;
}

ProjectChoice chooseProject(const std::vector<Project>& projects,
                            std::optional<std::string_view> requested) {
  ProjectChoice choice;
  if (projects.empty()) return choice;

  // A blank name names no project: like an omitted one, it asks for the only project. It must
  // not reach the matching below, where it would be a prefix of every name.
  const std::string wanted = requested ? comparable(*requested) : std::string();
  std::vector<const Project*> best;
  if (wanted.empty()) {
    for (const Project& project : projects) best.push_back(&project);
  } else {
    // Tiers: 0 exact, 1 prefix, 2 substring. Only the best tier that has any match counts.
    int bestTier = 3;
    for (const Project& project : projects) {
      const std::string name = comparable(project.name);
      int tier = 3;
      if (name == wanted) {
        tier = 0;
      } else if (name.starts_with(wanted)) {
        tier = 1;
      } else if (name.find(wanted) != std::string::npos) {
        tier = 2;
      }
      if (tier < bestTier) {
        bestTier = tier;
        best.clear();
      }
      if (tier == bestTier && tier < 3) best.push_back(&project);
    }
  }

  if (best.empty()) {
    choice.outcome = ProjectChoice::Outcome::unknown;
  } else if (best.size() == 1) {
    choice.outcome = ProjectChoice::Outcome::found;
    choice.project = best.front();
  } else {
    choice.outcome = ProjectChoice::Outcome::ambiguous;
    for (const Project* project : best) choice.candidates.push_back(project->name);
  }
  return choice;
}

}  // namespace quill
