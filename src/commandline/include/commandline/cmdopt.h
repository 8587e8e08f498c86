// The qualifier engine: typed qualifier objects, the two declaration registries, the option
// set with the engine's own double-slash qualifiers, the argument scanner, the finishing step
// (verbosity, result mask, required parameters, file checks) and the usage text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace zor {

class cmdopt;

/// Bits of a qualifier's `flags`.
enum cmdopt_flag : std::uint32_t {
  required = 1,        ///< a parameter that must be given (shown as "(required)" for qualifiers)
  negatable = 2,       ///< may be written /!key or /-key
  optional_value = 4,  ///< takes a value only when written key=value
  repeatable = 8,      ///< may be given more than once; a repeatable parameter takes every positional
};

/// The flag kind and base of every qualifier; construction appends it to the current registry.
class cmdopt_param {
 public:
  /// Declares a qualifier: what the user types, its name for messages, one-line help.
  cmdopt_param(const char* key, const char* name, const char* help, bool state = false,
               std::uint32_t flags = 0);
  /// Leaves both registries.
  virtual ~cmdopt_param();
  cmdopt_param(const cmdopt_param&) = delete;
  cmdopt_param& operator=(const cmdopt_param&) = delete;

  /// Writes "%s: no help available" (I); the engine never calls it.
  virtual void describe();
  /// Writes "%s: no help available" (I); the engine never calls it.
  virtual void describe_extended();
  /// Writes "Invalid parameter %s" (F) for a value that does not parse; answers false.
  virtual bool invalid();
  /// Records one occurrence; answers whether a value follows.
  virtual bool set(bool negated);
  /// Hook after a value parsed; answers false to fail the scan.
  virtual bool after_value();
  /// Validation at the finishing step.
  virtual bool check(cmdopt& options);
  /// Reads a value at `cursor` and moves it past what was used; answers success.
  virtual bool parse(const char*& cursor, cmdopt& options);

  bool is(std::uint32_t flag) const { return (flags & flag) != 0; }  ///< one flag bit set
  bool given() const { return count > 0; }                           ///< given at least once

  std::int32_t count = 0;   ///< times given (a counter stays at 1)
  bool state;               ///< declared value; true when given, false when negated
  bool has_value = false;   ///< a value was written with "=" or read by a text kind
  const char* name;         ///< name used in messages and in the usage line
  const char* key;          ///< what follows "/" or "//"; never typed for a parameter
  const char* help;         ///< one-line help; "??" is shown when null
  std::uint32_t flags;      ///< cmdopt_flag bits
};

/// The flag kind under its qualifier name.
class cmdopt_qualifier : public cmdopt_param {
 public:
  using cmdopt_param::cmdopt_param;
};

/// Counts occurrences in `value`: +1 each time, -1 when negated; no value follows.
class cmdopt_counter : public cmdopt_param {
 public:
  using cmdopt_param::cmdopt_param;
  bool set(bool negated) override;
  std::int32_t value = 0;  ///< occurrences minus negated occurrences
};

/// Base of the kinds that take a value after each occurrence.
class cmdopt_valued : public cmdopt_param {
 public:
  using cmdopt_param::cmdopt_param;
  /// Records one occurrence; a value always follows.
  bool set(bool negated) override;
};

/// A 32-bit signed number (0x hexadecimal, leading 0 octal, else decimal).
class cmdopt_int : public cmdopt_valued {
 public:
  using cmdopt_valued::cmdopt_valued;
  bool parse(const char*& cursor, cmdopt& options) override;
  std::int32_t value = 0;  ///< last parsed number
};

/// A 32-bit unsigned number, same notation as cmdopt_int.
class cmdopt_uint : public cmdopt_valued {
 public:
  using cmdopt_valued::cmdopt_valued;
  bool parse(const char*& cursor, cmdopt& options) override;
  std::uint32_t value = 0;  ///< last parsed number
};

/// One character out of an allowed set; `value` is its index in the set.
class cmdopt_choice : public cmdopt_valued {
 public:
  /// Declares a choice among the characters of `allowed`; starts with state false.
  cmdopt_choice(const char* key, const char* name, const char* allowed, const char* help,
                std::uint32_t flags = 0);
  bool parse(const char*& cursor, cmdopt& options) override;
  std::int32_t value = 0;  ///< index of the chosen character
  const char* allowed;     ///< the allowed characters
};

/// A text: the whole rest of the argument; an empty text is rejected.
class cmdopt_text : public cmdopt_valued {
 public:
  using cmdopt_valued::cmdopt_valued;
  bool parse(const char*& cursor, cmdopt& options) override;
  std::string value;  ///< empty when no text was given
};

/// A file name with the access tests of the file kinds.
class cmdopt_file : public cmdopt_text {
 public:
  using cmdopt_text::cmdopt_text;
  virtual bool exists() const;    ///< the file exists
  virtual bool readable() const;  ///< the file can be read (errno tells why not)
  virtual bool writable() const;  ///< the file can be written (errno tells why not)
};

/// A file to read; at the finishing step it must be readable.
class cmdopt_infile : public cmdopt_file {
 public:
  using cmdopt_file::cmdopt_file;
  bool check(cmdopt& options) override;
 protected:
  /// A new name after a failed check at full interaction; this program never supplies one.
  virtual bool ask_new_name(cmdopt& options);
};

/// A file to write; an existing one is overwritten only with //o or a yes at //i.
class cmdopt_outfile : public cmdopt_file {
 public:
  using cmdopt_file::cmdopt_file;
  bool check(cmdopt& options) override;
 private:
  bool confirm_overwrite(cmdopt& options);
};

/// A directory that becomes the working directory as soon as it is read.
class cmdopt_chdir : public cmdopt_text {
 public:
  using cmdopt_text::cmdopt_text;
  /// Reads the text, then changes the working directory; fails with "cannot change directory to %s".
  bool parse(const char*& cursor, cmdopt& options) override;
};

/// Makes the parameter registry current, creating it empty the first time.
void select_parameter_registry();
/// Makes the qualifier registry current, creating it empty the first time.
void select_qualifier_registry();
/// Deselects both registries; qualifiers constructed afterwards register nowhere.
void select_no_registry();
/// Forgets both registries and the selector, so another option set can be declared.
void reset_registries();

/// A cross-check between qualifiers at the finishing step.
class cmdopt_rule {
 public:
  explicit cmdopt_rule(const char* the_name) : name(the_name) {}
  virtual ~cmdopt_rule() = default;
  /// Answers whether the rule holds.
  virtual bool check() = 0;
  /// Writes "rule %s failed" (F).
  virtual void report();
  const char* name;  ///< shown in the report
};

/// Fails when both qualifiers are on: "disallowed both of '%s' and '%s'" (F).
class cmdopt_exclusion_rule : public cmdopt_rule {
 public:
  cmdopt_exclusion_rule(const char* the_name, cmdopt_param& the_first, cmdopt_param& the_second)
      : cmdopt_rule(the_name), first(the_first), second(the_second) {}
  bool check() override;
  void report() override;
  cmdopt_param& first;
  cmdopt_param& second;
};

/// The engine's own qualifiers, typed after "//"; matched in this order.
struct cmdopt_standard {
  cmdopt_qualifier version{"V", "version", "show version"};
  cmdopt_counter verbose{"v", "verbose", "verbose++", false, negatable | repeatable};
  cmdopt_counter quiet{"q", "quiet", "verbose--", false, negatable | repeatable};
  cmdopt_counter debug{"d", "debug", "debug messages", false, negatable | repeatable};
  cmdopt_qualifier help{"?", "help", "help"};
  cmdopt_qualifier xhelp{"h", "xhelp", "full help"};
  cmdopt_qualifier warn{"w", "warn", "mask warnings on return code"};
  cmdopt_qualifier err{"e", "err", "mask errors on return code"};
  cmdopt_counter interactive{"i", "interactive",
                             "interactive (prompt) mode (//ii for full interaction)", false,
                             negatable | repeatable};
  cmdopt_chdir basedir{"b", "basedir", "set current directory"};
  cmdopt_qualifier redir{"r", "redir", "redirec stderr to stdout"};
  cmdopt_qualifier silentoverwrite{"o", "silentoverwrite", "silently overwrite output files"};
  cmdopt_infile optionsfile{"@", "options file", "read option from file"};
};

/// An option set: parameters, single-slash and double-slash qualifiers, rules.
class cmdopt {
 public:
  /// Clears the registry selector and builds the standard qualifiers (registered nowhere);
  /// with attach_now they become the double-slash list. `tag` is kept, never read.
  explicit cmdopt(bool attach_now = true, const char* tag = nullptr);
  virtual ~cmdopt();
  cmdopt(const cmdopt&) = delete;
  cmdopt& operator=(const cmdopt&) = delete;

  /// Writes "cmdopt version 0.1. Application version not available." (I).
  virtual void version();
  /// Writes the usage lines for the parameters and single-slash qualifiers.
  virtual void usage();
  /// `usage`, then one line per double-slash qualifier.
  virtual void extended_help();

  /// Scans argv[1..argc) and, when that succeeds, runs the finishing step; answers the result.
  bool parse_command_line(int argc, const char* const* argv);
  /// Whether //o was given and not negated.
  bool overwrite_silently() const;
  /// The //i count when on, else 0: 1 asks before overwriting, 2 or more is full interaction.
  int interaction_level() const;

  /// Appends a positional parameter (the parameter cursor starts on the first one).
  void add_parameter(cmdopt_param& parameter);
  /// Appends a single-slash qualifier.
  void add_qualifier(cmdopt_param& qualifier);
  /// Appends a double-slash qualifier.
  void add_double_qualifier(cmdopt_param& qualifier);
  /// Appends a rule for the finishing step; the set does not own it.
  void add_rule(cmdopt_rule& rule);

  /// Where the overwrite question reads its answer; null means standard input.
  void set_answer_stream(std::FILE* in) { answers_ = in; }
  std::FILE* answer_stream() const { return answers_ ? answers_ : stdin; }

  const char* tag() const { return tag_; }  ///< the constructor's second argument
  cmdopt_standard& standard() { return *standard_; }  ///< the engine's own qualifiers
  const cmdopt_standard& standard() const { return *standard_; }
  const std::vector<cmdopt_param*>& parameters() const { return parameters_; }
  const std::vector<cmdopt_param*>& qualifiers() const { return qualifiers_; }
  const std::vector<cmdopt_param*>& double_qualifiers() const { return double_qualifiers_; }

 private:
  class scanner;
  bool finish();
  void apply_threshold();
  bool check_given();

  std::unique_ptr<cmdopt_standard> standard_;
  std::vector<cmdopt_param*> parameters_;
  std::vector<cmdopt_param*> qualifiers_;
  std::vector<cmdopt_param*> double_qualifiers_;
  std::vector<cmdopt_rule*> rules_;
  std::size_t parameter_cursor_ = 0;
  const char* tag_;  // stored for the declaring program, never read
  std::FILE* answers_ = nullptr;
};

/// An option set filled from the registries: registered parameters, then registered qualifiers.
class cmdopt_autoset : public cmdopt {
 public:
  /// Runs the base constructor, then takes every registered object that has a name.
  explicit cmdopt_autoset(bool attach_now = true, const char* tag = nullptr);
};

}  // namespace zor
