#include "core/app/port_selection.h"

#include <cstdlib>

#include "core/app.h"

namespace quillon {

unsigned ResolvePortNumber(App& app) {
  PortSelection& selection = app.portSelection;
  int value = selection.number;
  if (selection.mode == PORT_MODE_DETECT) {
    value = app.host.DetectPortNumber();
    selection.number = value;
  }
  if (value == 0) selection.mode = PORT_MODE_ASK;
  return static_cast<unsigned>(value);
}

int ParsePortName(const std::string& value) {
  std::string digits = value;
  for (size_t i = 0; i < 3 && i < digits.size(); ++i) digits[i] = '0';
  return static_cast<int>(std::strtol(digits.c_str(), nullptr, 10));
}

}  // namespace quillon
