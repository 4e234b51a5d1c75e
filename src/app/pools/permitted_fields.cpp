#include "app/pools/permitted_fields.h"

#include <initializer_list>

namespace torvane::app {
namespace {

struct Row {
  std::initializer_list<int> fields;
  const char* indicators;  // " " stands for the blank indicator
};

// Field numbers and the indicators permitted for them.
const Row kRows[] = {
    {{50, 82, 83, 86, 88, 89}, " "},
    {{100, 104, 108}, " b"},
    {{112, 116, 120, 124, 128, 132, 136}, "b"},
    {{200, 204, 208, 212, 216, 220, 224, 228, 232, 236}, " "},
    {{304, 310, 331, 333, 335}, " "},
    {{340, 341, 342, 343, 344, 345, 346, 347}, " "},
    {{359}, " "},
    {{403, 410, 412}, " "},
    {{425}, " p"},
    {{433, 434, 435, 437}, " "},
    {{451, 461, 471}, " "},
    {{501}, " "},
    {{540, 541}, " az"},
    {{542}, " ab"},
    {{544}, " a"},
    {{551}, " "},
    {{599}, "b"},
    {{700}, " st"},
    {{710}, " "},
    {{750}, "cf"},
    {{753, 760}, " "},
};

}  // namespace

PermittedFields PermittedFields::standard() {
  PermittedFields table;
  for (const Row& row : kRows)
    for (int field : row.fields) table.indicators_[static_cast<std::size_t>(field)] = row.indicators;
  return table;
}

std::string_view PermittedFields::indicators(int field_number) const {
  if (field_number < 1 || field_number > 999) return {};
  return indicators_[static_cast<std::size_t>(field_number)];
}

int PermittedFields::field_count() const {
  int count = 0;
  for (const std::string& row : indicators_) count += row.empty() ? 0 : 1;
  return count;
}

int field_number_of(std::string_view tag) {
  std::string_view digits = tag.substr(0, 3);
  std::size_t i = 0;
  while (i < digits.size() && digits[i] == ' ') ++i;
  int number = 0;
  for (; i < digits.size() && digits[i] >= '0' && digits[i] <= '9'; ++i) number = number * 10 + (digits[i] - '0');
  return number;
}

bool ISDXPFIELD(const PermittedFields& table, std::string_view tag, std::string_view exclusions) {
  bool result = true;
  if (!exclusions.empty()) {
    const std::string whole_field = std::string(tag.substr(0, 3)) + "*";
    if (exclusions.find(whole_field) != std::string_view::npos)
      result = false;
    else if (!tag.empty() && exclusions.find(tag.substr(0, 4)) != std::string_view::npos)
      result = false;  // an empty text occurs in no list
  }
  const int number = field_number_of(tag);
  if (number > 0 && number <= 999 && result) {
    const std::string_view permitted = table.indicators(number);
    result = tag.size() >= 4 && permitted.find(tag[3]) != std::string_view::npos;
  }
  return result;
}

}  // namespace torvane::app
