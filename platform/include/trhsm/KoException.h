// The one exception type thrown and caught by the library and the platform.
#ifndef TRHSM_KOEXCEPTION_H_
#define TRHSM_KOEXCEPTION_H_

#include <exception>
#include <string>

#include "trhsm/trhsm_platform_export.h"

// Carries the throwing function's tag, the message, the source file and line, and a code (-1 for
// every throw of the library). Copyable; what() and getMessage() give the message.
class TRHSM_PLATFORM_EXPORT KoException : public std::exception {
 public:
  KoException(const char* function, const char* message, const char* file, int line, int code);
  KoException(const char* function, const std::string& message, const char* file, int line,
              int code);
  ~KoException() override;

  const char* what() const noexcept override;
  std::string getMessage() const;
  const std::string& getFunction() const { return function_; }
  const std::string& getFile() const { return file_; }
  int getLine() const { return line_; }
  int getCode() const { return code_; }

 private:
  std::string function_;
  std::string message_;
  std::string file_;
  int line_;
  int code_;
};

#endif  // TRHSM_KOEXCEPTION_H_
