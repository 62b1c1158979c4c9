// What both fuzz targets share: how a finding ends the run, the sanitizer
// settings, the handshake at start-up and the check that an input leaves
// nothing alive.
#pragma once

// Prints the finding (prefixed with the target's name) and aborts, so that
// libFuzzer keeps the input.
[[noreturn]] void Finding(const char* what);

// The target's name for messages; each target defines it.
extern const char* const kFuzzTargetName;

// Notes the tracked objects alive at construction; at destruction, a world,
// a pixel byte or a tracked object more than then is a finding.
class FuzzLeakCheck {
 public:
  FuzzLeakCheck();
  ~FuzzLeakCheck();
  FuzzLeakCheck(const FuzzLeakCheck&) = delete;
  FuzzLeakCheck& operator=(const FuzzLeakCheck&) = delete;

 private:
  long objects_before_;
};
