// The guide: rendering its pages and the Next/Back transitions.
#include "core/app/guide.h"

#include "core/app/control_ids.h"
#include "core/app/downloads.h"
#include "core/app/port_selection.h"

namespace quillon {

namespace {

void SetTexts(App& app, const GuideTexts& texts) {
  app.host.SetControlText(IDC_STEP_TITLE, texts.title);
  app.host.SetControlText(IDC_UPPER_TEXT, texts.upper);
  app.host.SetControlText(IDC_LOWER_TEXT, texts.lower);
  app.host.SetControlText(IDC_PROMPT, texts.prompt);
}

void Button(App& app, int id, const char* caption, bool enabled) {
  if (caption) app.host.SetControlText(id, caption);
  app.host.EnableControl(id, enabled);
}

enum Slot { UPPER_SLOT = 1, LOWER_SLOT = 2 };

GuideTexts ShownTexts(const App& app) {
  if (app.guide.page == PAGE_COMPLETE && app.bootJob == Job::ERASE) {
    return GuideEraseTexts(app.bootFailure);
  }
  GuideTexts texts = GuidePageTexts(app.guide.page, app.guide.choice, app.downloadSize);
  // A build without the real firmware says so from its first page on.
  if (app.guide.page == PAGE_CABLE && app.isPlaceholder &&
      (app.isPlaceholder(IMAGE_BOOTLOADER) || app.isPlaceholder(IMAGE_SOFTWARE))) {
    texts.upper += "\n\n(placeholder images)";
  }
  return texts;
}

}  // namespace

void RenderGuidePage(App& app) {
  const GuidePage page = app.guide.page;
  const bool bootloader = app.guide.choice == CHOICE_BOOTLOADER;
  if (page < PAGE_CABLE || page > PAGE_COMPLETE) return;
  SetTexts(app, ShownTexts(app));
  // Every page paints both slots, so no picture of an earlier page stays
  // where this one has none (page 6 is painted without erasing).
  switch (page) {
    case PAGE_CABLE:
      Button(app, IDC_BACK, "Back", false);
      Button(app, IDC_NEXT, "Next", true);
      app.host.DrawPicture(UPPER_SLOT, 120);
      app.host.DrawPicture(LOWER_SLOT, 122);
      break;
    case PAGE_READYING:
      Button(app, IDC_BACK, "Back", true);
      Button(app, IDC_NEXT, "Next", true);
      app.host.DrawPicture(UPPER_SLOT, 123);
      app.host.DrawPicture(LOWER_SLOT, 121);
      break;
    case PAGE_CHOICE:
      Button(app, IDC_BACK, "Bootloader", true);
      app.host.ShowControl(IDC_BACK, true);
      Button(app, IDC_NEXT, "Software", true);
      app.host.ShowControl(IDC_NEXT, true);
      app.host.DrawPicture(UPPER_SLOT, 124);
      app.host.DrawPicture(LOWER_SLOT, NO_PICTURE);
      break;
    case PAGE_INSTRUCTIONS:
      Button(app, IDC_BACK, "Back", true);
      Button(app, IDC_NEXT, "Next", true);
      app.host.DrawPicture(UPPER_SLOT, bootloader ? 143 : 139);
      app.host.DrawPicture(LOWER_SLOT, 138);
      break;
    case PAGE_IN_PROGRESS:
      app.host.ShowControl(IDC_BACK, false);
      app.host.ShowControl(IDC_NEXT, false);
      app.host.DrawPicture(UPPER_SLOT, 140);
      app.host.DrawPicture(LOWER_SLOT, NO_PICTURE);
      break;
    case PAGE_COMPLETE:
      Button(app, IDC_BACK, "Back", true);
      app.host.ShowControl(IDC_BACK, true);
      app.host.EnableControl(IDC_NEXT, false);
      app.host.ShowControl(IDC_NEXT, false);
      app.host.DrawPicture(UPPER_SLOT, 142);
      app.host.DrawPicture(LOWER_SLOT, NO_PICTURE);
      break;
  }
}

namespace {

void GoTo(App& app, GuidePage page) {
  app.guide.page = page;
  app.host.Invalidate(true);
}

// Opens the port with the selected number unless one is open already.
bool EnsurePortOpen(App& app) {
  if (!app.engine.IsOpen()) OpenDevice(app, app.portSelection.number);
  return app.engine.IsOpen();
}

}  // namespace

void GuideNext(App& app) {
  if (!app.host.IsControlEnabled(IDC_NEXT)) return;
  switch (app.guide.page) {
    case PAGE_CABLE:
      GoTo(app, PAGE_READYING);
      break;
    case PAGE_READYING:
      if (app.portSelection.mode == PORT_MODE_ASK) app.host.RunPortNumberDialog(app.portSelection.number);
      GoTo(app, PAGE_CHOICE);
      break;
    case PAGE_CHOICE:
      if (!EnsurePortOpen(app)) {
        GoTo(app, PAGE_CABLE);
        break;
      }
      app.guide.choice = CHOICE_SOFTWARE;
      GoTo(app, PAGE_INSTRUCTIONS);
      break;
    case PAGE_INSTRUCTIONS: {
      // After the port went away the guide is back here with it closed:
      // Next opens the port chosen on page 3 again, as page 3's buttons do.
      // One that cannot be opened has been reported; the guide stays.
      if (!EnsurePortOpen(app)) break;
      // A start refused with nothing running (its error box has told the
      // user why) would leave page 5 waiting for a completion that never
      // comes, with both buttons hidden; stay here instead. A start refused
      // because a run is under way does get that run's completion.
      const bool idle = app.engine.BootIdle();
      if (StartImageDownload(app, 115200) == 0 && idle) break;
      GoTo(app, PAGE_IN_PROGRESS);
      break;
    }
    default:
      break;
  }
}

void GuideBack(App& app) {
  if (!app.host.IsControlEnabled(IDC_BACK)) return;
  switch (app.guide.page) {
    case PAGE_READYING:
      GoTo(app, PAGE_CABLE);
      break;
    case PAGE_CHOICE:
      if (!EnsurePortOpen(app)) break;  // stays on page 3
      app.guide.choice = CHOICE_BOOTLOADER;
      GoTo(app, PAGE_INSTRUCTIONS);
      break;
    case PAGE_INSTRUCTIONS:
      GoTo(app, PAGE_CHOICE);
      break;
    case PAGE_COMPLETE:
      CloseDevice(app);
      GoTo(app, PAGE_CHOICE);
      break;
    default:
      break;
  }
}

}  // namespace quillon
