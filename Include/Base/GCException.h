#pragma once
// GenICam exception family exported to the host. Every constructor assembles the message that
// what() returns:
//   description [" : " type " thrown"] [" in node '" node "'"] [" while calling '" entry "'"]
//   " (file '" file name without its directories "', line " line ")"
// A null `const char*` argument is taken as the empty string.
#include <exception>

#include "Base/GCString.h"
#include "Lumora/Export.h"

namespace GenICam {

class KOVON_API GenericException : public std::exception {
public:
    GenericException(const char* description, const char* sourceFileName, unsigned int sourceLine);
    GenericException(const char* description, const char* sourceFileName, unsigned int sourceLine,
                     const char* exceptionType);
    GenericException(const char* description, const char* sourceFileName, unsigned int sourceLine,
                     const char* entryPoint, const char* errorNodeName, const char* exceptionType);
    GenericException(const GenericException& other);
    GenericException& operator=(const GenericException& other);
    ~GenericException() noexcept override;

    const char* what() const noexcept override;
    virtual const char* GetDescription() const noexcept;
    virtual const char* GetSourceFileName() const noexcept;  // as given, directories included
    virtual unsigned int GetSourceLine() const noexcept;

protected:
    void AssembleMessage();

private:
    gcstring what_;
    gcstring exceptionType_;
    unsigned int sourceLine_;
    gcstring sourceFileName_;
    gcstring description_;
    gcstring entryPoint_;
    gcstring errorNodeName_;
};

// The derived classes add no fields; they only name the kind of error.
#define KOVON_GENICAM_EXCEPTION_CLASS(Name)                                                 \
    class KOVON_API Name : public GenericException {                                        \
    public:                                                                                 \
        Name(const char* description, const char* sourceFileName, unsigned int sourceLine); \
        Name(const char* description, const char* sourceFileName, unsigned int sourceLine,  \
             const char* exceptionType);                                                    \
        Name(const char* description, const char* sourceFileName, unsigned int sourceLine,  \
             const char* entryPoint, const char* errorNodeName, const char* exceptionType); \
        Name(const Name& other);                                                            \
        Name& operator=(const Name& other);                                                 \
        ~Name() noexcept override;                                                          \
    }

KOVON_GENICAM_EXCEPTION_CLASS(InvalidArgumentException);
KOVON_GENICAM_EXCEPTION_CLASS(OutOfRangeException);
KOVON_GENICAM_EXCEPTION_CLASS(PropertyException);
KOVON_GENICAM_EXCEPTION_CLASS(RuntimeException);
KOVON_GENICAM_EXCEPTION_CLASS(LogicalErrorException);
KOVON_GENICAM_EXCEPTION_CLASS(AccessException);
KOVON_GENICAM_EXCEPTION_CLASS(TimeoutException);
KOVON_GENICAM_EXCEPTION_CLASS(DynamicCastException);

#undef KOVON_GENICAM_EXCEPTION_CLASS

}  // namespace GenICam
