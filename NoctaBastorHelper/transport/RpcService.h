#pragma once

#include <memory>

#include "BastorShared/records/BastorPeer.h"
#include "BastorShared/records/BastorXPCProtocol.h"
#include "NoctaBastorHelper/transport/JsonRpc.h"

namespace bastor {

// The connection a call came on, as the call sees it. Thread-safe.
class RpcCaller {
  public:
    virtual ~RpcCaller() = default;
    // False once the client has hung up or the daemon stopped serving it:
    // nobody will read the reply.
    [[nodiscard]] virtual bool present() const noexcept = 0;
    // Who sent the call, as the kernel vouched for it when the connection was
    // admitted; the same for every call of a connection.
    [[nodiscard]] virtual const BastorPeer& peer() const noexcept = 0;
};

// What connections hand their calls to. serve() returns at once, without
// waiting for the call; `reply` is then called exactly once, from any thread.
// The service holds each call to what its caller's peer may do.
class RpcService {
  public:
    virtual ~RpcService() = default;
    virtual void serve(RpcCall call, std::shared_ptr<const RpcCaller> caller,
                       BastorReply reply) = 0;
};

}  // namespace bastor
