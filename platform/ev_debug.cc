// EvDebug, EvEvent and the process-wide log writer, all writing through the log sink.
#include "trhsm/EvDebug.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/log_sink.h"
#include "trhsm/FXString.h"

namespace {

constexpr int kDefaultLevel = 1;

// Formats without letting an allocation failure escape: logging never throws.
std::string FormatMessage(const char* format, va_list args) noexcept {
  try {
    return format != nullptr ? FXString::FormatV(format, args) : std::string();
  } catch (...) {
    return std::string();
  }
}

void Emit(const char* kind, const char* tag, const char* format, va_list args) noexcept {
  trhsm::platform::WriteLogLine(kind, tag, FormatMessage(format, args));
}

TRHSM_PRINTF(3, 4) void EmitF(const char* kind, const char* tag, const char* format, ...) noexcept;
void EmitF(const char* kind, const char* tag, const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  Emit(kind, tag, format, args);
  va_end(args);
}

// "DEBUG<level>", the kind of a line written at a level.
struct LevelKind {
  explicit LevelKind(int level) { snprintf(text, sizeof text, "DEBUG%d", level); }
  char text[24];
};

// The writer has no state, so it is constant-initialised: usable from any static initialiser, and
// never destroyed.
KoLogWriter g_logWriter;

}  // namespace

KoLogWriter* g_ptrLogWriter = &g_logWriter;

EvDebug::EvDebug() = default;
EvDebug::EvDebug(const char* /*instance*/) {}
EvDebug::~EvDebug() = default;

int EvDebug::Level() {
  const char* text = std::getenv("KO_LOG_LEVEL");
  if (text == nullptr) return kDefaultLevel;
  char* end = nullptr;
  long level = std::strtol(text, &end, 10);
  if (end == text) return kDefaultLevel;
  if (level > INT_MAX) return INT_MAX;
  if (level < INT_MIN) return INT_MIN;
  return static_cast<int>(level);
}

bool EvDebug::Admits(int level) { return level == -1 || level <= Level(); }

void EvDebug::Debug(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit("DEBUG", tag, format, args);
  va_end(args);
}

void EvDebug::Error(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit("ERROR", tag, format, args);
  va_end(args);
}

void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
  if (!Admits(level)) return;
  va_list args;
  va_start(args, format);
  Emit(LevelKind(level).text, tag, format, args);
  va_end(args);
}

void EvDebug::debug(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit("DEBUG", nullptr, format, args);
  va_end(args);
}

void EvDebug::debug(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(LevelKind(level).text, nullptr, format, args);
  va_end(args);
}

EvEvent::EvEvent() = default;
EvEvent::~EvEvent() = default;

void EvEvent::MajorEvent(int code, int arg1, int arg2) {
  EmitF("EVENT", "EvEvent::MajorEvent", "event 0x%X (%d, %d)", static_cast<unsigned>(code), arg1,
        arg2);
}

int KoLogWriter::GetLevel() const { return EvDebug::Level(); }

void KoLogWriter::Write(const char* tag, int /*sourceLine*/, int /*reserved1*/, int /*reserved2*/,
                        const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit("INFO", tag, format, args);
  va_end(args);
}
