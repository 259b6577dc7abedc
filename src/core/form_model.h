#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/event_loop.h"
#include "core/polling_hold.h"
#include "core/timer.h"

namespace ol {

struct TreeNode {
  std::string text;
  int stateIndex = -1;  // state image; -1 is none
  std::vector<TreeNode> children;
};

struct ListRow {
  std::vector<std::string> cells;
  int progress = 0;  // progress bar position
  int progressMax = 0;
};

class FormModel;

// One named control of the main window as plain data: whatever kind of control it is,
// it uses the fields that kind has (an edit its text, a memo or list box its lines, a
// tree its nodes, a list view its rows). Every change bumps Version() and tells the
// model, so a view can mirror it.
class Control {
 public:
  const std::string& Name() const { return name_; }
  std::uint64_t Version() const { return version_; }

  const std::string& Text() const { return text_; }
  void SetText(std::string text);

  // Lines of a memo, items of a list box or drop-down.
  const std::vector<std::string>& Lines() const { return lines_; }
  void AddLine(std::string line);
  void SetLines(std::vector<std::string> lines);
  // Changes the lines in place, for a long list that would otherwise be copied to be
  // changed; counts as one rewrite, as SetLines does.
  template <class Edit>
  void EditLines(Edit&& edit) {
    edit(lines_);
    ++rewrites_;
    Changed();
  }
  void ClearLines();
  void DeleteLine(std::size_t index);
  void InsertLine(std::size_t index, std::string line);
  std::size_t LineCount() const { return lines_.size(); }
  // When above 0, AddLine drops the oldest lines beyond this many.
  void SetMaxLines(std::size_t max) { maxLines_ = max; }
  std::size_t MaxLines() const { return maxLines_; }
  // Lines added by AddLine since the control came into being, and the number of other
  // changes to the lines: a view that saw both counts before can bring itself up to date
  // by appending the newest Appended() - seen lines, as long as Rewrites() is unchanged.
  std::uint64_t Appended() const { return appended_; }
  std::uint64_t Rewrites() const { return rewrites_; }

  int ItemIndex() const { return itemIndex_; }
  void SetItemIndex(int index);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  bool Checked() const { return checked_; }
  void SetChecked(bool checked);

  const std::vector<TreeNode>& Nodes() const { return nodes_; }
  // For editing tree nodes in place; counts as a change.
  std::vector<TreeNode>& MutableNodes();
  const std::vector<ListRow>& Rows() const { return rows_; }
  std::vector<ListRow>& MutableRows();

 private:
  friend class FormModel;
  Control(FormModel& owner, std::string name) : owner_(owner), name_(std::move(name)) {}
  void Changed();

  FormModel& owner_;
  std::string name_;
  std::uint64_t version_ = 0;
  std::string text_;
  std::vector<std::string> lines_;
  std::size_t maxLines_ = 0;
  std::uint64_t appended_ = 0;
  std::uint64_t rewrites_ = 0;
  int itemIndex_ = -1;
  bool enabled_ = true;
  bool visible_ = true;
  bool checked_ = false;
  std::vector<TreeNode> nodes_;
  std::vector<ListRow> rows_;
};

// Every named control and the timers of the main window, reachable by name from any
// component. Controls come into being on first use with neutral defaults.
class FormModel {
 public:
  // Room for the main window's controls from the start, rather than growing step by step.
  explicit FormModel(EventLoop& loop) : loop_(loop) { controls_.reserve(256); }
  FormModel(const FormModel&) = delete;
  FormModel& operator=(const FormModel&) = delete;

  Control& operator[](std::string_view name);
  // The n-th of a numbered family: At("PADLIST", 2) is PADLIST2.
  Control& At(std::string_view family, int n);
  Timer& TimerNamed(std::string_view name);
  // The switch of the polling timer ComTimer, with its holders.
  PollingHold& Polling();
  bool Has(std::string_view name) const { return controls_.count(name) != 0; }

  // Called with the control's name after every change.
  std::function<void(const Control&)> onChange;

 private:
  friend class Control;
  EventLoop& loop_;
  // By hash: every poll and frame names a few controls. The keys view the controls' own
  // names.
  std::unordered_map<std::string_view, std::unique_ptr<Control>> controls_;
  std::map<std::string, std::unique_ptr<Timer>, std::less<>> timers_;
  std::unique_ptr<PollingHold> polling_;
};

}  // namespace ol
