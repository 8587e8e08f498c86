// The qualifier engine: kinds, registries, option set, scanner, finishing step, help text.
#include "commandline/cmdopt.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "commandline/messages.h"

namespace zor {

namespace {

// The "i" messages of the engine.
constexpr int detailLevel = msg::I2;

using registry = std::vector<cmdopt_param*>;

struct registries {
  std::optional<registry> parameters;
  std::optional<registry> qualifiers;
  registry* current = nullptr;
};

// Created by the first qualifier constructed, so it outlives every static qualifier.
registries& the_registries() {
  static registries all;
  return all;
}

void forget(std::optional<registry>& list, const cmdopt_param* object) {
  if (list) list->erase(std::remove(list->begin(), list->end(), object), list->end());
}

const char* help_text(const cmdopt_param& q) { return q.help ? q.help : "??"; }
const char* or_empty(const char* text) { return text ? text : ""; }

// An out-of-range number saturates, as the 32-bit C library's strtol and strtoul do; no error.
std::int32_t to_int32(long long number) {
  return static_cast<std::int32_t>(std::clamp<long long>(number, INT32_MIN, INT32_MAX));
}
std::uint32_t to_uint32(long long number) {
  if (number > static_cast<long long>(UINT32_MAX) || number < -static_cast<long long>(UINT32_MAX))
    return UINT32_MAX;
  return static_cast<std::uint32_t>(number);  // a negative number wraps, as strtoul's does
}

// A number with automatic base; it must end at "," or at the end of the text.
bool read_number(const char*& cursor, long long& number) {
  char* end = nullptr;
  number = std::strtoll(cursor, &end, 0);
  if (*end != '\0' && *end != ',') return false;
  cursor = end;
  return true;
}

bool is_prefix_of_yes(const char* answer) {
  static const char yes[] = "yes";
  std::size_t length = std::strlen(answer);
  if (length >= sizeof yes) return false;
  for (std::size_t i = 0; i < length; ++i)
    if (std::tolower(static_cast<unsigned char>(answer[i])) != yes[i]) return false;
  return true;
}

void skip_rest_of_line(std::FILE* in) {
  for (int c = std::fgetc(in); c != EOF && c != '\n'; c = std::fgetc(in)) {
  }
}

void print_marks(std::FILE* out, const cmdopt_param& q) {
  if (q.is(negatable)) std::fputs(" (negatable)", out);
  if (q.is(required)) std::fputs(" (required)", out);
  std::fputc('\n', out);
}

}  // namespace

// ---- registries

void select_parameter_registry() {
  auto& all = the_registries();
  if (!all.parameters) all.parameters.emplace();
  all.current = &*all.parameters;
}

void select_qualifier_registry() {
  auto& all = the_registries();
  if (!all.qualifiers) all.qualifiers.emplace();
  all.current = &*all.qualifiers;
}

void select_no_registry() { the_registries().current = nullptr; }

void reset_registries() {
  auto& all = the_registries();
  all.current = nullptr;
  all.parameters.reset();
  all.qualifiers.reset();
}

// ---- kinds

cmdopt_param::cmdopt_param(const char* the_key, const char* the_name, const char* the_help,
                           bool the_state, std::uint32_t the_flags)
    : state(the_state), name(the_name), key(the_key), help(the_help), flags(the_flags) {
  if (registry* current = the_registries().current) current->push_back(this);
}

cmdopt_param::~cmdopt_param() {
  auto& all = the_registries();
  forget(all.parameters, this);
  forget(all.qualifiers, this);
}

void cmdopt_param::describe() { msg::info("%s: no help available", or_empty(name)); }
void cmdopt_param::describe_extended() { msg::info("%s: no help available", or_empty(name)); }

bool cmdopt_param::invalid() {
  msg::fatal("Invalid parameter %s", or_empty(name));
  return false;
}

bool cmdopt_param::set(bool negated) {
  ++count;
  state = !negated;
  return false;
}

bool cmdopt_param::after_value() { return true; }
bool cmdopt_param::check(cmdopt&) { return true; }
bool cmdopt_param::parse(const char*&, cmdopt&) { return true; }

bool cmdopt_counter::set(bool negated) {
  count = 1;
  state = !negated;
  value += negated ? -1 : 1;
  return false;
}

bool cmdopt_valued::set(bool negated) {
  cmdopt_param::set(negated);
  return true;
}

bool cmdopt_int::parse(const char*& cursor, cmdopt&) {
  long long number = 0;
  if (!read_number(cursor, number)) return false;
  value = to_int32(number);
  return true;
}

bool cmdopt_uint::parse(const char*& cursor, cmdopt&) {
  long long number = 0;
  if (!read_number(cursor, number)) return false;
  value = to_uint32(number);
  return true;
}

cmdopt_choice::cmdopt_choice(const char* the_key, const char* the_name, const char* the_allowed,
                             const char* the_help, std::uint32_t the_flags)
    : cmdopt_valued(the_key, the_name, the_help, false, the_flags), allowed(the_allowed) {}

bool cmdopt_choice::parse(const char*& cursor, cmdopt&) {
  if (*cursor == '\0') {  // nothing to choose: fail without stepping past the text's end
    value = 0;
    return false;
  }
  const char* found = allowed ? std::strchr(allowed, *cursor) : nullptr;
  value = found ? static_cast<std::int32_t>(found - allowed) : 0;
  ++cursor;
  return found != nullptr;
}

bool cmdopt_text::parse(const char*& cursor, cmdopt&) {
  value.clear();
  if (*cursor == '\0') return false;
  value = cursor;
  cursor += value.size();
  has_value = true;
  return true;
}

bool cmdopt_file::exists() const { return ::access(value.c_str(), F_OK) == 0; }
bool cmdopt_file::readable() const { return ::access(value.c_str(), R_OK) == 0; }
bool cmdopt_file::writable() const { return ::access(value.c_str(), W_OK) == 0; }

bool cmdopt_infile::check(cmdopt& options) {
  if (value.empty() || readable()) return true;
  msg::fatalSysError("Cannot access file %s", value.c_str());
  if (options.interaction_level() < 2 || !ask_new_name(options)) return false;
  if (readable()) return true;
  msg::fatalSysError("Sorry, again cannot access file %s", value.c_str());
  return false;
}

bool cmdopt_infile::ask_new_name(cmdopt&) { return false; }

bool cmdopt_outfile::check(cmdopt& options) {
  if (value.empty() || !exists()) return true;
  if (!writable()) {
    msg::fatalSysError("no write permission on file %s", value.c_str());
    return false;
  }
  if (options.overwrite_silently()) return true;
  if (options.interaction_level() <= 0) {
    msg::fatal("Output file %s exist (use '//o' or '//i' to overwrite)", value.c_str());
    return false;
  }
  return confirm_overwrite(options);
}

bool cmdopt_outfile::confirm_overwrite(cmdopt& options) {
  msg::log(msg::Q, "Output file %s exist. Overwrite it (Y,n)? ", value.c_str());
  std::FILE* in = options.answer_stream();
  char answer[10];
  if (!std::fgets(answer, sizeof answer, in)) return false;  // no answer: keep the file
  std::size_t length = std::strcspn(answer, "\r\n");
  bool lineEnded = answer[length] != '\0';
  answer[length] = '\0';
  if (!lineEnded) skip_rest_of_line(in);  // the next question starts on a fresh line
  return is_prefix_of_yes(answer);
}

bool cmdopt_chdir::parse(const char*& cursor, cmdopt& options) {
  if (!cmdopt_text::parse(cursor, options)) return false;
  std::error_code failure;
  std::filesystem::current_path(value, failure);
  if (failure) {
    errno = failure.value();
    msg::fatalSysError("cannot change directory to %s", value.c_str());
    return false;
  }
  msg::log(detailLevel, "cmdopt::chdir() to %s", value.c_str());
  return true;
}

// ---- rules

void cmdopt_rule::report() { msg::fatal("rule %s failed", or_empty(name)); }

bool cmdopt_exclusion_rule::check() { return !(first.state && second.state); }

void cmdopt_exclusion_rule::report() {
  msg::fatal("disallowed both of '%s' and '%s'", or_empty(first.name), or_empty(second.name));
}

// ---- scanner

// Walks argv once: positional values fill the parameters, "/" and "//" texts the qualifiers.
class cmdopt::scanner {
 public:
  scanner(cmdopt& options, int argc, const char* const* argv)
      : options_(options), argc_(argc), argv_(argv) {}

  bool run() {
    for (index_ = 1; index_ < argc_; ++index_)
      if (!argument(argv_[index_])) return false;
    return true;
  }

 private:
  struct key_match {
    cmdopt_param* qualifier = nullptr;
    std::size_t length = 0;
  };

  bool argument(const char* text) {
    const char* whole = text;
    if (*text == '\\') {
      if (*++text != '\0') return positional(text, whole);
      msg::fatal("invalid escape char");
      return false;
    }
    if (*text == '(') {
      listMode_ = true;
      ++text;
    }
    if (*text == ')') {
      ++text;
      listMode_ = false;
      if (cmdopt_param* parameter = current_parameter(); parameter && parameter->is(repeatable))
        ++options_.parameter_cursor_;
    }
    if (*text == '\0') return true;
    if (*text == '/' && !is_absolute_path(text)) return qualifiers(text + 1);
    return positional(text, whole);
  }

  // "/data/rec/x.rec" is a file name, not a qualifier: a second "/" before any "=".
  static bool is_absolute_path(const char* text) {
    if (text[1] == '/') return false;
    std::string_view rest(text + 1);
    std::size_t slash = rest.find('/');
    return slash != std::string_view::npos && slash < rest.find('=');
  }

  cmdopt_param* current_parameter() const {
    auto& parameters = options_.parameters_;
    return options_.parameter_cursor_ < parameters.size()
               ? parameters[options_.parameter_cursor_]
               : nullptr;
  }

  bool positional(const char* text, const char* whole) {
    cmdopt_param* parameter = current_parameter();
    if (!parameter) {
      msg::fatal("Too many parameters (%s)", whole);
      return false;
    }
    if (parameter->set(false) && !take_value(*parameter, text)) return false;
    if (!parameter->is(repeatable)) {
      if (listMode_) msg::warning("'(' on non repeatable parameter %s", or_empty(parameter->name));
      ++options_.parameter_cursor_;
    }
    return true;
  }

  bool take_value(cmdopt_param& q, const char*& text) {
    if (!q.parse(text, options_)) return q.invalid();
    return q.after_value();
  }

  // One argument of qualifier text (after its first "/"); several keys may follow one another.
  bool qualifiers(const char* text) {
    bool doubleSlash = *text == '/';
    if (doubleSlash) ++text;
    const registry& list = doubleSlash ? options_.double_qualifiers_ : options_.qualifiers_;
    while (*text != '\0') {
      bool negated = false;
      if (*text == '\\') {
        ++text;
      } else if (*text == '!' || *text == '-' || *text == '+') {
        negated = *text != '+';
        if (*++text == '\0') {
          msg::error("Invalid trailing '!'");
          return true;
        }
      }
      if (!one_qualifier(list, text, negated, !doubleSlash)) return false;
    }
    return true;
  }

  bool one_qualifier(const registry& list, const char*& text, bool negated, bool exactFirst) {
    key_match match = find(list, text, exactFirst);
    if (!match.qualifier) {
      msg::fatal("Invalid qualifier %s", text);
      return false;
    }
    cmdopt_param& q = *match.qualifier;
    text += match.length;
    if (negated && !q.is(negatable)) {
      msg::fatal("not negatable qualifier %s", or_empty(q.name));
      return false;
    }
    if (!q.is(repeatable) && q.count > 0) {
      msg::fatal("multiple qualifier %s", or_empty(q.name));
      return false;
    }
    if (q.set(negated) && !qualifier_value(q, text)) return false;
    if (&q == &options_.standard().redir) msg::set_redirect(q.state);
    return true;
  }

  // Single-slash texts first look for a key or name equal to the text (up to an "="), so a
  // full name is never read as a shorter key plus more keys; then the first key that is a
  // prefix of the text, in declaration order.
  static key_match find(const registry& list, std::string_view rest, bool exactFirst) {
    if (exactFirst) {
      std::string_view word = rest.substr(0, rest.find('='));
      if (!word.empty()) {
        for (cmdopt_param* q : list)
          if (q->key && word == q->key) return {q, word.size()};
        for (cmdopt_param* q : list)
          if (q->name && word == q->name) return {q, word.size()};
      }
    }
    for (cmdopt_param* q : list)
      if (q->key && *q->key && rest.starts_with(q->key)) return {q, std::strlen(q->key)};
    return {};
  }

  // An optional value is taken only after "="; the value is the rest of the argument or, when
  // nothing follows (also after "key="), the whole next argument, which is never read as
  // qualifiers.
  bool qualifier_value(cmdopt_param& q, const char*& text) {
    if (*text == '=') {
      ++text;
      q.has_value = true;
    } else if (q.is(optional_value)) {
      return true;
    }
    if (*text != '\0') return take_value(q, text);
    if (index_ + 1 >= argc_) {
      msg::fatal("Missed qualifier value for %s", or_empty(q.name));
      return false;
    }
    const char* next = argv_[++index_];
    return take_value(q, next);
  }

  cmdopt& options_;
  int argc_;
  const char* const* argv_;
  int index_ = 1;
  bool listMode_ = false;
};

// ---- option set

cmdopt::cmdopt(bool attach_now, const char* tag) : tag_(tag) {
  select_no_registry();  // the standard qualifiers belong to this set only
  standard_ = std::make_unique<cmdopt_standard>();
  if (!attach_now) return;
  cmdopt_standard& s = *standard_;
  double_qualifiers_ = {&s.version, &s.verbose, &s.quiet,   &s.debug,
                        &s.help,    &s.xhelp,   &s.warn,    &s.err,
                        &s.interactive, &s.basedir, &s.redir, &s.silentoverwrite,
                        &s.optionsfile};
}

cmdopt::~cmdopt() = default;

void cmdopt::version() { msg::info("cmdopt version 0.1. Application version not available."); }

void cmdopt::usage() {
  std::FILE* out = msg::stream_for(msg::F);
  std::fprintf(out, "Usage: %s", or_empty(msg::program_name()));
  for (const cmdopt_param* p : parameters_) std::fprintf(out, " %s", or_empty(p->name));
  std::fputs(" [qualifier]\n", out);
  for (const cmdopt_param* p : parameters_) {
    std::fprintf(out, "  %s: %s ", or_empty(p->name), help_text(*p));
    if (p->is(required)) std::fputs("(required)", out);
    std::fputc('\n', out);
  }
  for (const cmdopt_param* q : qualifiers_) {
    std::fprintf(out, "  /%s: %s", or_empty(q->key), help_text(*q));
    print_marks(out, *q);
  }
  std::fputs("  //h: extended help\n", out);
  std::fflush(out);
}

void cmdopt::extended_help() {
  usage();
  std::FILE* out = msg::stream_for(msg::F);
  for (const cmdopt_param* q : double_qualifiers_) {
    std::fprintf(out, " //%s: %s", or_empty(q->key), help_text(*q));
    print_marks(out, *q);
  }
  std::fflush(out);
}

bool cmdopt::parse_command_line(int argc, const char* const* argv) {
  parameter_cursor_ = 0;
  if (argc > 1 && !scanner(*this, argc, argv).run()) return false;
  return finish();
}

bool cmdopt::overwrite_silently() const { return standard_->silentoverwrite.state; }

int cmdopt::interaction_level() const {
  return standard_->interactive.state ? standard_->interactive.value : 0;
}

void cmdopt::add_parameter(cmdopt_param& parameter) { parameters_.push_back(&parameter); }
void cmdopt::add_qualifier(cmdopt_param& qualifier) { qualifiers_.push_back(&qualifier); }
void cmdopt::add_double_qualifier(cmdopt_param& qualifier) {
  double_qualifiers_.push_back(&qualifier);
}
void cmdopt::add_rule(cmdopt_rule& rule) { rules_.push_back(&rule); }

// Version and help end the program before the verbosity qualifiers take effect.
bool cmdopt::finish() {
  cmdopt_standard& s = *standard_;
  if (s.version.given()) {
    version();
    msg::exit_with(0);
  }
  if (s.help.given()) {
    usage();
    msg::exit_with(0);
  }
  if (s.xhelp.given()) {
    extended_help();
    msg::exit_with(0);
  }
  apply_threshold();
  if (s.err.state)
    msg::set_result_mask(7);
  else if (s.warn.state)
    msg::set_result_mask(6);
  for (const cmdopt_param* p : parameters_)
    if (p->is(required) && p->count == 0 && !s.interactive.state)
      msg::fatal("Missed required paramters %s (//? for help)", or_empty(p->name));
  for (cmdopt_rule* rule : rules_) {
    if (!rule->check()) {
      rule->report();
      return false;
    }
  }
  if (!check_given()) return false;
  if (s.silentoverwrite.state) msg::log(detailLevel, "cmdopt::silent overwrite enabled");
  return true;
}

// Debug wins; otherwise each //v lowers and each //q raises the threshold; below 0 gives 0
// and above 8 falls back to 7, not 8.
void cmdopt::apply_threshold() {
  const cmdopt_standard& s = *standard_;
  if (s.debug.given()) {
    msg::set_threshold(0);
    return;
  }
  int level = msg::threshold() - s.verbose.value + s.quiet.value;
  if (level < 0)
    level = 0;
  else if (level > 8)
    level = 7;
  msg::set_threshold(level);
}

bool cmdopt::check_given() {
  for (const registry* list : {&parameters_, &qualifiers_, &double_qualifiers_})
    for (cmdopt_param* q : *list)
      if (q->given() && !q->check(*this)) return false;
  return true;
}

cmdopt_autoset::cmdopt_autoset(bool attach_now, const char* tag) : cmdopt(attach_now, tag) {
  registries& all = the_registries();
  if (!all.parameters) return;
  for (cmdopt_param* p : *all.parameters)
    if (p->name) add_parameter(*p);
  if (!all.qualifiers) return;
  for (cmdopt_param* q : *all.qualifiers)
    if (q->name) add_qualifier(*q);
}

}  // namespace zor
