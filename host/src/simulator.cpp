#include <chrono>
#include <cmath>
#include <map>
#include <numbers>
#include <random>

#include "modelImpl.hpp"

namespace corvane::runtime {

// The simulator thread: changes simulated data points at their periods until the model stops.
void Model::simulate() {
  std::map<const DataPoint*, std::chrono::steady_clock::time_point> next;
  std::mt19937_64 random(std::random_device{}());
  std::normal_distribution<double> step(0.0, 1.0);
  auto origin = std::chrono::steady_clock::now();
  std::unique_lock guard(impl_->mutex);
  while (!impl_->stopping) {
    auto nowSteady = std::chrono::steady_clock::now();
    guard.unlock();
    for (auto& point : dataPoints_) {
      if (!point->simulation) continue;
      auto& due = next[point.get()];
      if (nowSteady < due) continue;
      const auto& s = *point->simulation;
      due = nowSteady + s.period;
      data::Value v;
      switch (s.kind) {
        case Simulation::Kind::kCounter: {
          auto current = point->value();
          auto c = data::convert(current, data::DataType::kDouble);
          v = (c ? std::get<double>(*c) : 0.0) + 1.0;
          break;
        }
        case Simulation::Kind::kSine: {
          double seconds = std::chrono::duration<double>(nowSteady - origin).count();
          double periods = seconds / std::chrono::duration<double>(s.period).count();
          v = s.offset + s.amplitude * std::sin(2 * std::numbers::pi * periods / 20.0);
          break;
        }
        case Simulation::Kind::kRandomWalk: {
          auto c = data::convert(point->value(), data::DataType::kDouble);
          v = (c ? std::get<double>(*c) : s.offset) + s.amplitude * step(random);
          break;
        }
      }
      if (point->type() == data::DataType::kInteger || point->type() == data::DataType::kUnsigned) {
        v = std::round(std::get<double>(v));
      }
      point->setValue(v);
    }
    guard.lock();
    impl_->wake.wait_for(guard, std::chrono::milliseconds(10));
  }
}

}  // namespace corvane::runtime
