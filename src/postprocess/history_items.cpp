#include "history_items.h"

#include <cstdio>

#include "commandline/messages.h"
#include "history_files.h"

ItemBase::ItemBase(HistoryItems& list, const char* name, bool trackChanges)
    : ItemBase(list, name, nullptr, 0, trackChanges) {}

ItemBase::ItemBase(HistoryItems& list, const char* name, const char* format, int32_t width,
                   bool trackChanges)
    : name_(name), format_(format), width_(width), trackChanges_(trackChanges) {
  list.add(this);
}

bool ItemBase::reportChange() {
  if (!isChanged()) return false;
  msg::warning("Changed: %s = %s", name_, valueText());
  return true;
}

void ItemBase::printCell(HistoryFiles& files) {
  printValue(files);
  pp_printf(files, ";");
}

namespace {

// The printf argument of each value type: floats go as double, text as its characters.
unsigned formatArgument(unsigned value) { return value; }
double formatArgument(float value) { return value; }
const char* formatArgument(const std::string& value) { return value.c_str(); }

bool differs(unsigned value, unsigned previous) { return value != previous; }
// NaN compares unordered with everything, itself included, so it always counts as a change.
bool differs(float value, float previous) { return !(value == previous); }
bool differs(const std::string& value, const std::string& previous) { return value != previous; }

}  // namespace

template <typename T>
bool Item<T>::isChanged() const {
  return trackChanges() && differs(value_, previous_);
}

template <typename T>
void Item<T>::printValue(HistoryFiles& files) {
  pp_printf(files, format(), formatArgument(value_));
}

template <typename T>
const char* Item<T>::valueText() {
  // One buffer per value type: the next call for any item of this type overwrites the text.
  static char buffer[128];
  std::snprintf(buffer, sizeof buffer, format(), formatArgument(value_));
  return buffer;
}

template class Item<unsigned>;
template class Item<float>;
template class Item<std::string>;
