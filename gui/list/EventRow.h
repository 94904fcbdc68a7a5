#pragma once
// One event as the History list and the journal viewer show it. The record keeps message before
// category; the list shows category before message (see CUVTListCtrl's column table).

#include <string>

namespace uv::gui {

struct EventRow {
  std::string date;          // DD/MM/YYYY
  std::string time;          // HH:MM:SS
  std::string computerUser;  // "computer\user" as the client reported it
  std::string address;       // dotted IPv4 text
  std::string message;
  std::string category;

  bool operator==(const EventRow&) const = default;
};

// The columns of the list, in display order.
enum class ListColumn : int {
  kDate = 0,
  kTime = 1,
  kComputerUser = 2,
  kAddress = 3,
  kCategory = 4,
  kMessage = 5,
};
inline constexpr int kListColumnCount = 6;

// The text of a row shown in a display column; empty for a column outside the table.
const std::string& ColumnText(const EventRow& row, int column);

}  // namespace uv::gui

// The console's code names the shared list and message boxes from its own namespace.
namespace uv::server {
using namespace uv::gui;
}  // namespace uv::server
