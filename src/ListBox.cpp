#include "ListBox.h"

namespace ostrim {

void ListBox::Clear() {
  entries_.clear();
  selected_ = -1;
}

void ListBox::AddItem(const std::string& text) {
  if (entries_.size() >= static_cast<std::size_t>(kMaxEntries)) {
    throw ListError("the database list is full: it holds at most " + std::to_string(kMaxEntries) +
                    " entries; \"" + text + "\" and any after it were not added");
  }
  entries_.push_back(text);
}

void ListBox::SetListIndex(std::int16_t index) {
  if (index < -1 || index >= ListCount()) {
    throw ListError("list index " + std::to_string(index) + " out of range (count " +
                    std::to_string(ListCount()) + ")");
  }
  selected_ = index;
}

const std::string& ListBox::Text() const {
  static const std::string kNone;
  return selected_ < 0 ? kNone : entries_[static_cast<std::size_t>(selected_)];
}

}  // namespace ostrim
