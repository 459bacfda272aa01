#include "gamelog/search_pacer.h"

#include <algorithm>

namespace tidemark {

void SearchPacer::beginSearch() {
    mark_ = clock_.elapsedMs();
    cpuAtBegin_ = clock_.threadCpuMs();
    elapsedWorkMs_ = 0;
    workMs_ = 0;
    restedMs_ = 0;
}

void SearchPacer::account() {
    const std::uint64_t now = clock_.elapsedMs(), cpu = clock_.threadCpuMs();
    elapsedWorkMs_ += now - std::min(now, mark_);
    mark_ = now;
    // Over the whole search, not step by step: the platforms count a
    // thread's time in ticks of 10 to 16 ms, far coarser than a step.
    workMs_ = std::min(elapsedWorkMs_, (cpu - std::min(cpu, cpuAtBegin_)) * rule_.cpuToWork);
}

void SearchPacer::step() {
    account();
    const std::uint32_t share = std::clamp<std::uint32_t>(rule_.sharePercent, 1, 100);
    // The rest owed over the whole search so far, less what was rested:
    // a sleep that lasted longer than asked (a coarse timer) is credited,
    // and work cut into steps shorter than a slice is still paid for.
    const std::uint64_t owed = workMs_ * (100 - share) / share;
    if (owed <= restedMs_) return;
    const std::uint64_t due = owed - restedMs_;
    if (due < std::uint64_t{rule_.sliceMs} * (100 - share) / share) return;
    clock_.sleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(due, 60000)));
    const std::uint64_t now = clock_.elapsedMs();
    restedMs_ += now - std::min(now, mark_);
    mark_ = now;
}

std::uint64_t SearchPacer::searchWorkMs() {
    account();
    return workMs_;
}

std::uint64_t SearchPacer::restAfterFruitlessSearchMs() {
    return std::clamp<std::uint64_t>(searchWorkMs() * rule_.restPerWork, rule_.shortestRestMs, rule_.longestRestMs);
}

}  // namespace tidemark
