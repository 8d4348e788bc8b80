// Waiting on a condition while the calling thread's Qt loop keeps turning.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <functional>

#include "support/wait.h"

// Spins the window thread's loop until cond holds (bounded).
inline bool spinUntil(const std::function<bool()>& cond, int timeoutMs = test_support::kPatienceMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}
