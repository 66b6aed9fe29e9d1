#include "textgrid/concurrency/cancel.hpp"

#include <utility>

namespace textgrid {
namespace {

thread_local SharedCancelToken current_token;

}  // namespace

const SharedCancelToken& current_cancel_token() noexcept { return current_token; }

bool cancellation_requested() noexcept {
  const CancelToken* token = current_token.get();
  return token != nullptr && token->requested();
}

void throw_if_cancelled() {
  if (cancellation_requested()) throw Cancelled();
}

CancellationScope::CancellationScope(SharedCancelToken token) noexcept
    : previous_(std::exchange(current_token, std::move(token))) {}

CancellationScope::~CancellationScope() { current_token = std::move(previous_); }

}  // namespace textgrid
