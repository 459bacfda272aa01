#include "gamelog/search_pacer.h"

#include <algorithm>

namespace tidemark {

std::uint32_t SearchPacer::percent(std::uint32_t share) { return std::clamp<std::uint32_t>(share, 1, 100); }

void SearchPacer::refill(std::uint64_t now) {
    if (refilledAt_ && now > *refilledAt_)
        credit_ = std::min<std::int64_t>(
            credit_ + static_cast<std::int64_t>((now - *refilledAt_) * percent(rule_.sharePercent)),
            std::int64_t{rule_.burstMs} * 100);
    refilledAt_ = now;
}

void SearchPacer::beginSearch() {
    const std::uint64_t now = clock_.elapsedMs();
    refill(now);
    cpuAtBegin_ = clock_.threadCpuMs();
    cpuReadAt_ = now;
    workMs_ = 0;
    pacedSince_.reset();
    if (credit_ <= 0) pacedSince_ = now;
    pacedWorkMs_ = 0;
    pacedWorkAtPause_ = 0;
}

void SearchPacer::account() {
    const std::uint64_t now = clock_.elapsedMs(), cpu = clock_.threadCpuMs();
    cpuReadAt_ = now;
    // Over the whole search, not step by step: the platforms count a
    // thread's time in ticks of 10 to 16 ms, far coarser than a step.
    const std::uint64_t work = (cpu - std::min(cpu, cpuAtBegin_)) * rule_.cpuToWork;
    const std::uint64_t added = work - std::min(work, workMs_);
    credit_ -= static_cast<std::int64_t>(added * 100);
    workMs_ = std::max(work, workMs_);
    // After the work: the share earned while it was done offsets it, which
    // a credit already at its cap would otherwise drop.
    refill(now);
    if (pacedSince_) pacedWorkMs_ += added;
    else if (credit_ <= 0) pacedSince_ = now;
}

void SearchPacer::step() {
    // No more work can have been done than time has passed.
    if (clock_.elapsedMs() - cpuReadAt_ < rule_.cpuReadingEveryMs) return;
    account();
    if (hurried_ || !pacedSince_ || pacedWorkMs_ - pacedWorkAtPause_ < rule_.sliceMs) return;
    // Rest until the work since the credit ran out is the search's share of
    // the time since: a sleep that lasted longer than asked (a coarse timer)
    // and the search's own time count, and work cut into steps shorter than
    // a slice is still paid for.
    pacedWorkAtPause_ = pacedWorkMs_;
    const std::uint64_t owed = pacedWorkMs_ * 100 / percent(rule_.searchSharePercent);
    const std::uint64_t since = clock_.elapsedMs() - *pacedSince_;
    if (owed <= since) return;
    clock_.sleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(owed - since, 60000)));
    refill(clock_.elapsedMs());
}

void SearchPacer::hurry(bool on) {
    if (hurried_ && !on && pacedSince_) {
        account();
        pacedSince_ = clock_.elapsedMs();
        pacedWorkMs_ = pacedWorkAtPause_ = 0;
    }
    hurried_ = on;
}

std::uint64_t SearchPacer::searchWorkMs() {
    account();
    return workMs_;
}

std::uint64_t SearchPacer::restAfterFruitlessSearchMs() {
    // The credit is for finding a log that is there at once. A game without
    // one is searched over and over, each search at its own share, each rest
    // paying back the work beyond the average share.
    account();
    credit_ = std::min<std::int64_t>(credit_, 0);
    const std::uint64_t payBack = static_cast<std::uint64_t>(-credit_) / percent(rule_.sharePercent);
    return std::clamp<std::uint64_t>(payBack, rule_.shortestRestMs, rule_.longestRestMs);
}

}  // namespace tidemark
