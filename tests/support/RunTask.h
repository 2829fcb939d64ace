#pragma once

#include <QCoroTask>

#include <exception>
#include <optional>
#include <utility>

// Runs a task to completion in a nested event loop and returns its result or
// rethrows its exception (QCoro::waitFor alone would wait for ever on a throw).
namespace TestTasks {
namespace detail {

template <typename T> QCoro::Task<std::optional<T>> capture(QCoro::Task<T> task, std::exception_ptr* failure)
{
    try {
        co_return co_await std::move(task);
    } catch (...) {
        *failure = std::current_exception();
    }
    co_return std::nullopt;
}

inline QCoro::Task<bool> captureVoid(QCoro::Task<void> task, std::exception_ptr* failure)
{
    try {
        co_await std::move(task);
    } catch (...) {
        *failure = std::current_exception();
    }
    co_return true;
}

} // namespace detail

template <typename T> T run(QCoro::Task<T> task)
{
    std::exception_ptr failure;
    std::optional<T> result = QCoro::waitFor(detail::capture(std::move(task), &failure));
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

inline void run(QCoro::Task<void> task)
{
    std::exception_ptr failure;
    QCoro::waitFor(detail::captureVoid(std::move(task), &failure));
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace TestTasks
