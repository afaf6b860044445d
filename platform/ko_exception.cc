// KoException: the library's one exception type.
#include "trhsm/KoException.h"

namespace {

std::string OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

KoException::KoException(const char* function, const char* message, const char* file, int line,
                         int code)
    : function_(OrEmpty(function)),
      message_(OrEmpty(message)),
      file_(OrEmpty(file)),
      line_(line),
      code_(code) {}

KoException::KoException(const char* function, const std::string& message, const char* file,
                         int line, int code)
    : function_(OrEmpty(function)),
      message_(message),
      file_(OrEmpty(file)),
      line_(line),
      code_(code) {}

KoException::~KoException() = default;

const char* KoException::what() const noexcept { return message_.c_str(); }

std::string KoException::getMessage() const { return message_; }
