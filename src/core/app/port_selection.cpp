// Port selection and the dialog's opening and closing of the port.
#include "core/app/port_selection.h"

#include <cstdio>
#include <cstdlib>

#include "core/app/app.h"

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

void OpenDevice(App& app, int portNumber) {
  // The log names the port "Com<n>"; the device name is the platform's own
  // (on Windows the \\.\ form, without which COM10 and up cannot be opened).
  char label[32];
  std::snprintf(label, sizeof label, "Com%d", portNumber);
  if (app.engine.Open(app.engine.PortName(portNumber), label)) return;
  app.host.Beep();
  app.host.ShowMessageBox("The USB port (" + std::to_string(portNumber) +
                              ") connection could not be opened.  Please check that all steps "
                              "are followed completely.",
                          APP_TITLE, MB_STYLE_ICONWARNING, true);
}

void CloseDevice(App& app) { app.engine.Close(); }

}  // namespace quillon
