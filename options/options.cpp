#include "options/options.h"

#include <cctype>
#include <cstdlib>
#include <optional>
#include <sstream>

namespace quill::cli {
namespace {

std::string Accepted(const std::vector<OptionSpec>& specs) {
  std::string list;
  for (const OptionSpec& spec : specs) {
    if (!list.empty()) list += ", ";
    list += spec.name;
  }
  return list.empty() ? std::string("none") : list;
}

const OptionSpec* Find(const std::vector<OptionSpec>& specs, const std::string& name) {
  for (const OptionSpec& s : specs) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

void Store(Options& options, const std::string& name, const std::string& value) {
  options.values[name] = value;
  options.given.emplace_back(name, value);
  if (name != "--port") return;
  std::stringstream list(value);
  for (std::string port; std::getline(list, port, ',');) {
    if (!port.empty()) options.ports.push_back(port);
  }
}

// One option word split into the option's long name, the name as typed and a value attached
// with "=" (long) or directly (short).
struct Word {
  std::string name, typed;
  std::optional<std::string> attached;
};

Word Split(const std::string& arg, bool isLong, const ParserRules& rules) {
  Word w;
  if (isLong) {
    const auto equals = arg.find('=');
    w.name = w.typed = arg.substr(0, equals);
    if (equals != std::string::npos) w.attached = arg.substr(equals + 1);
    return w;
  }
  w.typed = arg.substr(0, 2);
  for (const auto& [letter, longName] : rules.shortOptions) {
    if (letter == arg[1]) w.name = longName;
  }
  if (arg.size() > 2) w.attached = arg.substr(2);
  return w;
}

}  // namespace

const std::string* Options::Value(const std::string& name) const {
  const auto it = values.find(name);
  return it == values.end() ? nullptr : &it->second;
}

Options ParseArguments(const std::string& command, const std::vector<std::string>& args,
                       const std::vector<OptionSpec>& specs, const ParserRules& rules) {
  using Kind = UsageError::Kind;
  Options options;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool isLong = arg.size() > 2 && arg.compare(0, 2, "--") == 0;
    const bool isShort = arg.size() >= 2 && arg[0] == '-' && std::isalpha(static_cast<unsigned char>(arg[1]));
    const bool endsOptions = arg == "--" && rules.doubleDashEndsOptions;
    if (optionsEnded || (!isLong && !isShort && !endsOptions)) {
      options.positional.push_back(arg);
      continue;
    }
    if (endsOptions) {
      optionsEnded = true;
      continue;
    }
    const Word w = Split(arg, isLong, rules);
    const OptionSpec* spec = Find(specs, w.name);
    if (spec == nullptr) {
      throw UsageError("unknown option '" + w.typed + "' for " + command + "; accepted: " +
                           Accepted(specs), Kind::UnknownOption, arg);
    }
    // An option that belongs to the file operands (--binary ADDRESS FILE) stays among them, in
    // its place, for the operand parser.
    if (spec->inOperands) {
      options.positional.push_back(w.name);
      if (w.attached) options.positional.push_back(*w.attached);
      continue;
    }
    if (!spec->takesValue) {
      if (w.attached) throw UsageError(w.typed + " takes no value", Kind::ValueToFlag, arg);
      options.flags.insert(w.name);
      options.given.emplace_back(w.name, std::string());
    } else if (w.attached) {
      Store(options, w.name, *w.attached);
    } else if (i + 1 < args.size()) {
      Store(options, w.name, args[++i]);
    } else {
      throw UsageError(w.typed + " needs a value", Kind::MissingValue, w.name);
    }
  }
  for (const auto& [name, variable] : rules.environmentDefaults) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0' && Find(specs, name) != nullptr && !options.Has(name)) {
      Store(options, name, value);
    }
  }
  return options;
}

}  // namespace quill::cli
