#pragma once
// A named marker shared by every process of the machine, used only to learn whether a name is
// already taken: a camera that one object holds open cannot be opened by another object, in this
// process or in any other.
//
// The name is bound as an abstract Unix-domain socket address. The kernel owns that binding: it
// exists exactly as long as the socket is open, so the name is free again as soon as its holder
// closes it or its process dies, however it dies; nothing stale is left behind and no file is
// created. Binding is atomic, so two holders can never both see "created".
//
// Names are arbitrary byte texts (NUL bytes included). Short names (up to kMaxRawName bytes) are
// used as they are, so distinct short names never collide; longer names are replaced by a
// 122-bit SHA-1 name digest, marked so that it cannot equal any short name.
//
// Limits: the abstract namespace belongs to a network namespace, so processes in different
// network namespaces do not see each other's names. A child made by fork() without exec shares
// its parent's binding until both have closed it (the socket is close-on-exec).
//
// Thread-safety: one NamedMutex object belongs to one thread at a time; distinct objects may be
// used from any threads at once.
#include <cstddef>
#include <string>

namespace Kovon::Platform {

class NamedMutex {
public:
    enum class Result {
        Created,        // the name was free; this object now holds it
        AlreadyExists,  // another object (of any process) holds the name; this object holds nothing
        Failed,         // this object already holds a name, or the system refused a socket
    };

    // Longest name that is bound as it is.
    static constexpr std::size_t kMaxRawName = 80;

    NamedMutex() = default;
    ~NamedMutex() { Close(); }
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Takes 'name' if no one holds it. Failed changes nothing.
    Result Create(const std::string& name);
    // Frees the held name, if any. Safe to call at any time.
    void Close();
    bool IsHeld() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace Kovon::Platform
