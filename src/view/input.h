#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/gateway.h"

// The operator's input, whatever the toolkit: a window translates its own events into a
// control of the form model and one of the events below, and Dispatch does the rest, the
// same for both editions: what goes into the form model first, then which handler of the
// logic runs.
namespace ol {

enum class InputEvent {
  Clicked,     // a button, a tool button, the tray icon, a node of a tree
  Toggled,     // a tick set by any path: a check box, a node's tick
  Selected,    // a row, tab, node or drop-down item picked
  EditedText,  // the text of an edit or of a drop-down's edit, changed by any path
};

// What came with the event.
struct Input {
  std::string text;                 // EditedText; Selected in a drop-down: the item's text
  int index = -1;                   // Selected: the row, tab or item (-1: none)
  bool checked = false;             // Toggled
  std::optional<TreeNodeRef> node;  // a tree's events: the node, none when none is picked

  static Input Text(std::string text) {
    Input in;
    in.text = std::move(text);
    return in;
  }
  static Input Row(int index, std::string text = {}) {
    Input in = Text(std::move(text));
    in.index = index;
    return in;
  }
  static Input Tick(bool checked, std::optional<TreeNodeRef> node = {}) {
    Input in = Node(node);
    in.checked = checked;
    return in;
  }
  static Input Node(std::optional<TreeNodeRef> node) {
    Input in;
    in.node = node;
    return in;
  }
};

struct InputKey {
  std::string control;
  InputEvent event;
};

// Hands the input to the logic. False when the table has no such key: the event means
// nothing to the logic.
bool Dispatch(Gateway& gateway, std::string_view control, InputEvent event,
              const Input& input = {});

// Every key of the table, numbered families spelled out (COMMID1..COMMID4).
std::vector<InputKey> InputKeys();

// Holds a text to what a key filter lets through, and to at most limit characters: a
// paste, an input method's commit or a text set by another program must not bring in what
// a key press could not. The caret stays after the same accepted character; characters
// beyond the limit are cut just before it, where the new ones came in.
struct FilteredText {
  std::u16string text;
  std::size_t caret;
};
FilteredText FilterText(std::u16string_view text, std::size_t caret, bool (*accept)(char32_t),
                        std::size_t limit);

}  // namespace ol
