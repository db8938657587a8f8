#include "Base/GCException.h"

#include <string>

namespace GenICam {

namespace {

// The file name without its directories: the part after the last '/' or '\'.
gcstring BareFileName(const gcstring& path) {
    const std::string& text = path.GetInternalString();
    const size_t slash = text.find_last_of("/\\");
    if (slash == std::string::npos) return path;
    return gcstring(text.c_str() + slash + 1);
}

}  // namespace

GenericException::GenericException(const char* description, const char* sourceFileName,
                                   unsigned int sourceLine)
    : GenericException(description, sourceFileName, sourceLine, nullptr, nullptr, nullptr) {}

GenericException::GenericException(const char* description, const char* sourceFileName,
                                   unsigned int sourceLine, const char* exceptionType)
    : GenericException(description, sourceFileName, sourceLine, nullptr, nullptr, exceptionType) {}

GenericException::GenericException(const char* description, const char* sourceFileName,
                                   unsigned int sourceLine, const char* entryPoint, const char* errorNodeName,
                                   const char* exceptionType)
    : exceptionType_(exceptionType),
      sourceLine_(sourceLine),
      sourceFileName_(sourceFileName),
      description_(description),
      entryPoint_(entryPoint),
      errorNodeName_(errorNodeName) {
    AssembleMessage();
}

GenericException::GenericException(const GenericException& other) = default;
GenericException& GenericException::operator=(const GenericException& other) = default;
GenericException::~GenericException() noexcept = default;

const char* GenericException::what() const noexcept {
    return what_.c_str();
}
const char* GenericException::GetDescription() const noexcept {
    return description_.c_str();
}
const char* GenericException::GetSourceFileName() const noexcept {
    return sourceFileName_.c_str();
}
unsigned int GenericException::GetSourceLine() const noexcept {
    return sourceLine_;
}

void GenericException::AssembleMessage() {
    gcstring message(description_);
    if (!exceptionType_.empty()) message += " : " + exceptionType_ + " thrown";
    if (!errorNodeName_.empty()) message += " in node '" + errorNodeName_ + "'";
    if (!entryPoint_.empty()) message += " while calling '" + entryPoint_ + "'";
    message +=
        " (file '" + BareFileName(sourceFileName_) + "', line " + std::to_string(sourceLine_).c_str() + ")";
    what_.swap(message);
}

#define KOVON_GENICAM_EXCEPTION_DEFINITIONS(Name)                                              \
    Name::Name(const char* description, const char* sourceFileName, unsigned int sourceLine)   \
        : GenericException(description, sourceFileName, sourceLine) {}                         \
    Name::Name(const char* description, const char* sourceFileName, unsigned int sourceLine,   \
               const char* exceptionType)                                                      \
        : GenericException(description, sourceFileName, sourceLine, exceptionType) {}          \
    Name::Name(const char* description, const char* sourceFileName, unsigned int sourceLine,   \
               const char* entryPoint, const char* errorNodeName, const char* exceptionType)   \
        : GenericException(description, sourceFileName, sourceLine, entryPoint, errorNodeName, \
                           exceptionType) {}                                                   \
    Name::Name(const Name& other) = default;                                                   \
    Name& Name::operator=(const Name& other) = default;                                        \
    Name::~Name() noexcept = default

KOVON_GENICAM_EXCEPTION_DEFINITIONS(InvalidArgumentException);
KOVON_GENICAM_EXCEPTION_DEFINITIONS(OutOfRangeException);
KOVON_GENICAM_EXCEPTION_DEFINITIONS(PropertyException);
KOVON_GENICAM_EXCEPTION_DEFINITIONS(RuntimeException);
KOVON_GENICAM_EXCEPTION_DEFINITIONS(LogicalErrorException);
KOVON_GENICAM_EXCEPTION_DEFINITIONS(AccessException);
KOVON_GENICAM_EXCEPTION_DEFINITIONS(TimeoutException);
KOVON_GENICAM_EXCEPTION_DEFINITIONS(DynamicCastException);

#undef KOVON_GENICAM_EXCEPTION_DEFINITIONS

}  // namespace GenICam
