#include "core/form_model.h"

#include <charconv>
#include <cstring>

namespace ol {

void Control::Changed() {
  ++version_;
  if (owner_.onChange) owner_.onChange(*this);
}

void Control::SetText(std::string text) {
  if (text == text_) return;
  text_ = std::move(text);
  Changed();
}

void Control::AddLine(std::string line) {
  lines_.push_back(std::move(line));
  ++appended_;
  if (maxLines_ > 0 && lines_.size() > maxLines_)
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<long>(lines_.size() - maxLines_));
  Changed();
}

void Control::SetLines(std::vector<std::string> lines) {
  lines_ = std::move(lines);
  ++rewrites_;
  Changed();
}

void Control::ClearLines() {
  if (lines_.empty()) return;
  lines_.clear();
  ++rewrites_;
  Changed();
}

void Control::DeleteLine(std::size_t index) {
  if (index >= lines_.size()) return;
  lines_.erase(lines_.begin() + static_cast<long>(index));
  ++rewrites_;
  Changed();
}

void Control::InsertLine(std::size_t index, std::string line) {
  if (index > lines_.size()) index = lines_.size();
  lines_.insert(lines_.begin() + static_cast<long>(index), std::move(line));
  ++rewrites_;
  Changed();
}

void Control::SetItemIndex(int index) {
  if (index == itemIndex_) return;
  itemIndex_ = index;
  Changed();
}

void Control::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Changed();
}

void Control::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  Changed();
}

void Control::SetChecked(bool checked) {
  if (checked == checked_) return;
  checked_ = checked;
  Changed();
}

std::vector<TreeNode>& Control::MutableNodes() {
  Changed();
  return nodes_;
}

std::vector<ListRow>& Control::MutableRows() {
  Changed();
  return rows_;
}

Control& FormModel::operator[](std::string_view name) {
  if (auto found = controls_.find(name); found != controls_.end()) return *found->second;
  std::unique_ptr<Control> control(new Control(*this, std::string(name)));
  Control& added = *control;
  controls_.emplace(added.Name(), std::move(control));
  return added;
}

Control& FormModel::At(std::string_view family, int n) {
  // The name is put together on the stack: this runs for every frame sent or polled.
  char name[64];
  if (family.size() + 12 > sizeof name) return (*this)[std::string(family) + std::to_string(n)];
  std::memcpy(name, family.data(), family.size());
  const auto end = std::to_chars(name + family.size(), name + sizeof name, n).ptr;
  return (*this)[std::string_view(name, static_cast<std::size_t>(end - name))];
}

Timer& FormModel::TimerNamed(std::string_view name) {
  auto it = timers_.find(name);
  if (it == timers_.end())
    it = timers_.emplace(std::string(name), std::make_unique<Timer>(loop_)).first;
  return *it->second;
}

PollingHold& FormModel::Polling() {
  if (!polling_) polling_ = std::make_unique<PollingHold>(TimerNamed("ComTimer"));
  return *polling_;
}

}  // namespace ol
