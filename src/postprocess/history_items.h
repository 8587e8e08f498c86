// History items: the typed columns of the session history. Each item holds its current value
// and the value at the last printed line, prints its cell through pp_printf and decides whether
// a change is worth a new line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "history_files.h"

class ItemBase;

/// The ordered list of history items; items append themselves at construction, and the list
/// order is the column order. It only points at the items: declare it before them.
class HistoryItems {
 public:
  /// Appends an item; called by the item constructors.
  void add(ItemBase* item) { items_.push_back(item); }
  /// Number of registered items.
  std::size_t size() const { return items_.size(); }
  /// The item in column `index` (index below size()).
  ItemBase& operator[](std::size_t index) const { return *items_[index]; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<ItemBase*> items_;
};

/// Root of the item family, and a column without a value of its own (it prints only ";").
class ItemBase {
 public:
  /// A plain column: no format, width 0; registers itself in `list`.
  ItemBase(HistoryItems& list, const char* name, bool trackChanges);
  ItemBase(const ItemBase&) = delete;
  ItemBase& operator=(const ItemBase&) = delete;

  /// Whether the value differs from the one at the last printed line (never without tracking).
  virtual bool isChanged() const { return false; }
  /// Takes the current value as the printed one.
  virtual void commit() {}
  /// When changed, logs "Changed: <name> = <value text>" at logger level 5; answers isChanged.
  virtual bool reportChange();
  /// The value cell followed by ";".
  virtual void printCell(HistoryFiles& files);
  /// The value cell through pp_printf with the item's format (nothing for a plain column).
  virtual void printValue(HistoryFiles& /*files*/) {}
  /// The value formatted like its cell, in a buffer shared by every item of the same value type
  /// (valid until the next valueText of such an item); "?" for a plain column.
  virtual const char* valueText() { return "?"; }
  virtual ~ItemBase() = default;

  /// Column name, for the header line and the change message.
  const char* name() const { return name_; }
  /// printf format of the value cell; null for a plain column.
  const char* format() const { return format_; }
  /// Width of the header cell; 0 for a plain column.
  int32_t width() const { return width_; }
  /// Whether a change of the value may start a line.
  bool trackChanges() const { return trackChanges_; }

 protected:
  ItemBase(HistoryItems& list, const char* name, const char* format, int32_t width,
           bool trackChanges);

 private:
  const char* name_;
  const char* format_;
  int32_t width_;
  bool trackChanges_;
};

/// An item with a value of type T (unsigned, float or text) and its value at the last line.
template <typename T>
class Item : public ItemBase {
 public:
  bool isChanged() const override;
  void commit() override { previous_ = value_; }
  void printValue(HistoryFiles& files) override;
  const char* valueText() override;
  /// Replaces the current value.
  virtual void set(T value) { value_ = std::move(value); }

  /// The current value.
  const T& value() const { return value_; }
  /// The value at the last printed line.
  const T& previous() const { return previous_; }

 protected:
  Item(HistoryItems& list, const char* name, const char* format, int32_t width, bool trackChanges)
      : ItemBase(list, name, format, width, trackChanges) {}

  T value_{};
  T previous_{};
};

extern template class Item<unsigned>;
extern template class Item<float>;
extern template class Item<std::string>;

/// Unsigned, "%9u".
class ItemUInt : public Item<unsigned> {
 public:
  ItemUInt(HistoryItems& list, const char* name, bool trackChanges)
      : Item(list, name, "%9u", 9, trackChanges) {}
};

/// Unsigned, "%4u".
class ItemUIntSmall : public Item<unsigned> {
 public:
  ItemUIntSmall(HistoryItems& list, const char* name, bool trackChanges)
      : Item(list, name, "%4u", 4, trackChanges) {}
};

/// Unsigned in hexadecimal, "0x%8.8X".
class ItemHex : public Item<unsigned> {
 public:
  ItemHex(HistoryItems& list, const char* name, bool trackChanges)
      : Item(list, name, "0x%8.8X", 10, trackChanges) {}
};

/// Unsigned total since the last line, "%4u": set adds (wrapping), commit clears.
class ItemUIntSmallLatched : public Item<unsigned> {
 public:
  ItemUIntSmallLatched(HistoryItems& list, const char* name, bool trackChanges)
      : Item(list, name, "%4u", 4, trackChanges) {}
  /// Clears the total; the printed value is not kept.
  void commit() override { value_ = 0; }
  /// Adds to the total.
  void set(unsigned value) override { value_ += value; }
};

/// Float, "%12.3f".
class ItemFloat : public Item<float> {
 public:
  ItemFloat(HistoryItems& list, const char* name, bool trackChanges)
      : Item(list, name, "%12.3f", 12, trackChanges) {}
};

/// Float, "%12.6f".
class ItemFloatSmall : public Item<float> {
 public:
  ItemFloatSmall(HistoryItems& list, const char* name, bool trackChanges)
      : Item(list, name, "%12.6f", 12, trackChanges) {}
};

/// Text cut or padded on the right to 8 characters, "%-8.8s".
class ItemString : public Item<std::string> {
 public:
  ItemString(HistoryItems& list, const char* name, bool trackChanges)
      : Item(list, name, "%-8.8s", 8, trackChanges) {}
};

/// Text cut or padded on the right to 4 characters, "%-4.4s".
class ItemStringSmall : public Item<std::string> {
 public:
  ItemStringSmall(HistoryItems& list, const char* name, bool trackChanges)
      : Item(list, name, "%-4.4s", 4, trackChanges) {}
};
