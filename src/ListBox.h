// The list control that holds the working list of databases (`List1`).
//
// An ordered list of texts: entries keep the order in which they were
// appended, duplicates stay, and an empty text is a valid entry. Count and
// indexes are 16-bit signed numbers, the first entry having index 0, so the
// list holds at most 32,767 entries; appending past that raises an error.
// Reading entry i is done as the control does it: select i, then read the
// selected text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ostrim {

class ListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ListBox {
 public:
  static constexpr std::int16_t kMaxEntries = 32767;

  void Clear();
  // Appends `text` at the end; throws ListError when the list is full.
  void AddItem(const std::string& text);
  std::int16_t ListCount() const { return static_cast<std::int16_t>(entries_.size()); }
  // Selects entry `index` (-1 selects none); throws ListError when out of range.
  void SetListIndex(std::int16_t index);
  std::int16_t ListIndex() const { return selected_; }
  // The selected entry's text; empty when none is selected.
  const std::string& Text() const;

 private:
  std::vector<std::string> entries_;
  std::int16_t selected_ = -1;
};

}  // namespace ostrim
