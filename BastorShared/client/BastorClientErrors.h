#pragma once

#include <stdexcept>
#include <string>

namespace bastor {

// The helper answered a call with an error. what() is its description,
// exactly as the helper sent it.
class BastorRemoteError : public std::runtime_error {
  public:
    BastorRemoteError(int code, const std::string& description)
        : std::runtime_error(description), code_(code) {}
    [[nodiscard]] int code() const noexcept { return code_; }

  private:
    int code_;
};

// A call's reply was longer than the client reads (BastorWire::maxReplyBytes),
// or the helper refused to build a page of entries that long
// (BastorWire::pageTooLarge); it was skipped and the connection goes on.
class BastorReplyTooLarge : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A call got no reply: the connection ended before it came.
class BastorConnectionLost : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace bastor
