#pragma once
// Workloads of many clients at once, each against a mosquitto of its own on loopback:
//   BM_IdleRunner/plugin/N: corvane-run with N connected clients and nothing to publish; the
//     runner's CPU use (percent of one core) and resident set over kIdleWindow once all are
//     connected, and the resident set per client beyond the first (against N = 1 of the same run).
//   BM_Publish100Clients/<contender>: 200-byte QoS 0 messages round-robin over kClients clients of
//     one process, batches of kPerClient messages per client, each batch waited for until every
//     message is reported sent.
#include <chrono>
#include <memory>

#include "publish/loopbackBroker.hpp"

namespace corvane::bench {

inline constexpr int kClients = 100;
inline constexpr int kPerClient = 10;
inline constexpr auto kIdleWindow = std::chrono::seconds(5);

// A broker for up to a thousand connections: the descriptor limit of this process is raised to its
// hard limit first, and the broker inherits it.
std::unique_ptr<LoopbackBroker> manyClientsBroker();

}  // namespace corvane::bench
