// Figures: a command measured beside the routine it should come close to,
// in the same run. The two sides run in alternate order round after round
// (command first, then reference first), so both meet the same machine;
// each round gives one ratio and the figure is the median of the rounds,
// which a round disturbed by other work cannot move much.
//
// Each figure is one benchmark (run once, its rounds inside) and prints
// one line that scripts can read:
//   figure: <what> | ratio 0.94 | target >= 0.90 | met
// A speed figure is the reference's time over the command's (at least the
// target); a time figure is the command's time over the reference's (at
// most the target). QM_FIGURE_ROUNDS in the environment sets the number of
// rounds.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace benchfigure {

enum class Kind { SPEED, TIME };

inline int Rounds(int fallback) {
  const char* text = std::getenv("QM_FIGURE_ROUNDS");
  int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : fallback;
}

template <class F>
double secondsOf(F& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(t1 - t0).count();
}

struct NoPreparation {
  void operator()() const {}
};

// Runs command and reference rounds times each (after one unmeasured
// round of both; prepare, untimed, before every run of either) and reports
// the figure in the benchmark's row and on its own line.
template <class Command, class Reference, class Prepare = NoPreparation>
void Measure(benchmark::State& state, const char* what, Kind kind, double target, int rounds,
             Command command, Reference reference, Prepare prepare = Prepare()) {
  rounds = Rounds(rounds);
  auto timed = [&prepare](auto& f) {
    prepare();
    return secondsOf(f);
  };
  prepare();
  command();
  prepare();
  reference();
  std::vector<double> ratios;
  double commandTotal = 0, referenceTotal = 0;
  for (auto _ : state) {
    for (int i = 0; i < rounds; ++i) {
      double c, r;
      if (i % 2 == 0) {
        c = timed(command);
        r = timed(reference);
      } else {
        r = timed(reference);
        c = timed(command);
      }
      commandTotal += c;
      referenceTotal += r;
      ratios.push_back(kind == Kind::SPEED ? r / c : c / r);
    }
  }
  std::sort(ratios.begin(), ratios.end());
  size_t n = ratios.size();
  double ratio = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
  bool met = kind == Kind::SPEED ? ratio >= target : ratio <= target;
  state.counters["ratio"] = ratio;
  state.counters["target"] = target;
  state.counters["command_ms"] = commandTotal * 1e3 / rounds;
  state.counters["reference_ms"] = referenceTotal * 1e3 / rounds;
  std::printf("figure: %s | ratio %.3f | target %s %.2f | %s\n", what, ratio,
              kind == Kind::SPEED ? ">=" : "<=", target, met ? "met" : "not met");
  std::fflush(stdout);
}

}  // namespace benchfigure
