#pragma once

// Runs a task to completion in a nested event loop and returns its value or
// rethrows its exception. QCoro 0.8's waitFor() never returns when the task
// throws, so tests that expect failures go through this.

#include <QCoro/QCoroTask>

#include <exception>
#include <optional>
#include <utility>

namespace Await {
namespace Detail {

template <typename T>
QCoro::Task<> collect(QCoro::Task<T> task, std::exception_ptr* error, std::optional<T>* value)
{
    try {
        *value = co_await task;
    } catch (...) {
        *error = std::current_exception();
    }
}

inline QCoro::Task<> collect(QCoro::Task<> task, std::exception_ptr* error)
{
    try {
        co_await task;
    } catch (...) {
        *error = std::current_exception();
    }
}

} // namespace Detail

template <typename T> T result(QCoro::Task<T>&& task)
{
    std::exception_ptr failure;
    std::optional<T> value;
    QCoro::waitFor(Detail::collect(std::move(task), &failure, &value));
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*value);
}

inline void result(QCoro::Task<>&& task)
{
    std::exception_ptr failure;
    QCoro::waitFor(Detail::collect(std::move(task), &failure));
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace Await
