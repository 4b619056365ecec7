// The command-line option parser of quill-cli and quill-sim: options with and without a value,
// in the long form "--name VALUE" or "--name=VALUE", and the short forms a program names.
#pragma once

#include <map>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quill::cli {

// A command line the program cannot run. The text names the argument and what is accepted; the
// kind and the argument as typed let a program word the parser's own complaints itself.
class UsageError : public std::runtime_error {
 public:
  enum class Kind { Other, UnknownOption, MissingValue, ValueToFlag };
  explicit UsageError(const std::string& what, Kind kind = Kind::Other, std::string argument = {})
      : std::runtime_error(what), kind_(kind), argument_(std::move(argument)) {}
  Kind kind() const { return kind_; }
  // The argument the parser stopped at, as typed ("--pace=1", "-x"); the option's name for a
  // missing value.
  const std::string& argument() const { return argument_; }

 private:
  Kind kind_;
  std::string argument_;
};

// One option a command accepts: "--name" with a value, or a flag without one. An option that
// belongs to the operands (--binary ADDRESS before a FILE) stays among them, in its place.
struct OptionSpec {
  const char* name;
  bool takesValue;
  bool inOperands = false;
};

// A command's arguments after parsing: option values (the last one given wins), flags, every
// --port in order (comma lists split), every option in the order given, and the other words in
// order.
struct Options {
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::vector<std::string> positional;
  std::vector<std::string> ports;
  std::vector<std::pair<std::string, std::string>> given;  // name and value ("" for a flag)

  bool Has(const std::string& name) const { return values.count(name) || flags.count(name); }
  const std::string* Value(const std::string& name) const;
};

// What differs between the programs: their short forms, the environment variables that give
// defaults, and whether "--" ends the options.
struct ParserRules {
  std::span<const std::pair<char, const char*>> shortOptions;  // 'p' for "--port"
  // An option not given comes from the variable, where the command takes the option.
  std::span<const std::pair<const char*, const char*>> environmentDefaults;
  bool doubleDashEndsOptions = true;
};

// Parses args against specs. An option given twice: the last one wins in values. Throws
// UsageError for an unknown option, a missing value, or a value given to a flag.
Options ParseArguments(const std::string& command, const std::vector<std::string>& args,
                       const std::vector<OptionSpec>& specs, const ParserRules& rules);

}  // namespace quill::cli
