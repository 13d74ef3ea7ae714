// The readout's bootloader: it takes a raw image byte by byte, shows the count
// on its display, and takes 07 06 followed by silence as the erase command.
#include "sim/sim_engine.h"
#include "sim/store_files.h"

namespace quillon::sim {

namespace {

constexpr uint64_t DISPLAY_PERIOD_MS = 100;
constexpr uint64_t IMAGE_SAVE_QUIET_MS = 200;

// The count as the readout's display shows it, "(N)". Built by appending:
// g++ 12 warns falsely (-Wrestrict) about "(" + std::string at -O2.
std::string ShownCount(size_t count) {
  std::string text = "(";
  text += std::to_string(count);
  text += ')';
  return text;
}

}  // namespace

void SimEngine::ReceiveBoot(const uint8_t* data, size_t count, uint64_t now, bool afterGap) {
  RecordReceivedRaw(data, count, now);
  // Bytes after a pause begin a new image (or the erase command): the readout
  // is back in its bootloader menu and counts from 0 again.
  if (afterGap && !image_.empty()) StartNewImage();
  image_.insert(image_.end(), data, data + count);
  imageDirty_ = true;
  // 07 06 as the first bytes of an image, followed by silence, is the erase
  // command; the same two bytes followed at once by more are image data. Until
  // that is decided the display waits, even after the 07 alone.
  eraseCandidate_ = options_.eraseDetect && image_.size() <= 2 && image_[0] == 0x07 &&
                    (image_.size() == 1 || image_[1] == 0x06);
  if (eraseCandidate_) eraseDecideAt_ = now + options_.eraseQuietMs;
  if (options_.expectSize != 0 && !expectReached_ && image_.size() >= options_.expectSize) {
    expectReached_ = true;
    SaveImage();
    // The final count is shown at once, not at the next display period.
    ShowCount(now);
  }
}

void SimEngine::StartNewImage() {
  eraseCandidate_ = false;
  SaveImage();  // the last image is on file before the new one replaces it
  image_.clear();
  expectReached_ = false;
  shown_ = false;
  shownCount_ = 0;
  Notice("a new image begins");
}

void SimEngine::PollBoot(uint64_t now) {
  if (eraseCandidate_ && now >= eraseDecideAt_) {
    eraseCandidate_ = false;
    if (image_.size() == 2) {  // else a lone 07, which is image data
      image_.clear();
      imageDirty_ = false;
      ++erases_;
      Notice("erasing user storage");
      EmitEraseAnswer(now, now + options_.eraseDelayMs);
    }
  }
  if (!eraseCandidate_ && image_.size() != shownCount_ &&
      (!shown_ || now - lastShownAt_ >= DISPLAY_PERIOD_MS)) {
    ShowCount(now);
  }
  if (imageDirty_ && !eraseCandidate_ && now - lastRxAt_ >= IMAGE_SAVE_QUIET_MS) SaveImage();
}

std::optional<uint64_t> SimEngine::NextBootDeadline() const {
  // The display and the file wait for the erase decision.
  if (eraseCandidate_) return eraseDecideAt_;
  std::optional<uint64_t> next;
  if (image_.size() != shownCount_) next = lastShownAt_ + DISPLAY_PERIOD_MS;
  if (imageDirty_ && !options_.saveImage.empty()) {
    const uint64_t saveAt = lastRxAt_ + IMAGE_SAVE_QUIET_MS;
    if (!next || saveAt < *next) next = saveAt;
  }
  return next;
}

void SimEngine::ShowCount(uint64_t now) {
  shown_ = true;
  shownCount_ = image_.size();
  lastShownAt_ = now;
  if (display_) display_(ShownCount(shownCount_));
}

bool SimEngine::SaveImage() {
  if (options_.saveImage.empty() || !imageDirty_) return true;
  imageDirty_ = false;
  return WriteAside(options_.saveImage, image_);
}

}  // namespace quillon::sim
