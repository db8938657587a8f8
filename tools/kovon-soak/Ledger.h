#pragma once
// What one transport's soak counted: frames the simulated camera generated against frames the
// module delivered, reported faulty or reported lost, summed over acquisition sessions, and the
// faults injected on the way.
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace KovonSoak {

// One acquisition session: from the stream's Acquire to its Freeze (or the camera's removal).
struct SessionCount {
    uint64_t generated = 0;  // frames the camera sent (simulator counters)
    uint64_t delivered = 0;  // GetImage returned 0 with the frame copied
    uint64_t faulty = 0;     // frames the module reported as faulty
    uint64_t lost = 0;       // frames the module reported as lost
    uint64_t inFlight = 0;   // frames the module had received but the host had not collected at the stop
    int64_t Difference() const {
        return static_cast<int64_t>(generated) -
               static_cast<int64_t>(delivered + faulty + lost + inFlight);
    }
};

class Ledger {
public:
    explicit Ledger(std::string transport) : transport_(std::move(transport)) {}

    const std::string& Transport() const { return transport_; }

    // Adds a finished session; a session whose frames do not balance is also a problem.
    void AddSession(const SessionCount& s, const std::string& how) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++sessions_;
        total_.generated += s.generated;
        total_.delivered += s.delivered;
        total_.faulty += s.faulty;
        total_.lost += s.lost;
        total_.inFlight += s.inFlight;
        if (s.Difference() != 0) {
            char text[256];
            std::snprintf(text, sizeof text,
                          "session %llu (%s): generated %llu, delivered %llu, faulty %llu, lost %llu, "
                          "in flight %llu: difference %lld",
                          static_cast<unsigned long long>(sessions_), how.c_str(),
                          static_cast<unsigned long long>(s.generated), static_cast<unsigned long long>(s.delivered),
                          static_cast<unsigned long long>(s.faulty), static_cast<unsigned long long>(s.lost),
                          static_cast<unsigned long long>(s.inFlight), static_cast<long long>(s.Difference()));
            problems_.push_back(text);
        }
    }

    void Fault(const std::string& kind, uint64_t n = 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_[kind] += n;
    }
    void Note(const std::string& kind, uint64_t n = 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        notes_[kind] += n;
    }
    void Problem(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        problems_.push_back(text);
    }

    SessionCount Total() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return total_;
    }
    uint64_t Sessions() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sessions_;
    }
    std::map<std::string, uint64_t> Faults() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return faults_;
    }
    std::map<std::string, uint64_t> Notes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return notes_;
    }
    std::vector<std::string> Problems() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return problems_;
    }

private:
    std::string transport_;
    mutable std::mutex mutex_;
    uint64_t sessions_ = 0;
    SessionCount total_;
    std::map<std::string, uint64_t> faults_;
    std::map<std::string, uint64_t> notes_;
    std::vector<std::string> problems_;
};

}  // namespace KovonSoak
