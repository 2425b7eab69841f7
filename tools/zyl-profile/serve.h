// `zyl-profile serve`: the profiles opened once and answered over HTTP on
// this machine, for a page in the browser that asks as the user explores.
// Every answer is the library's own call printed by the command line's own
// JSON writer, and every parameter is read by the command line's own
// parser, so a request and the command it mirrors can never disagree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "process.h"
#include "zyl_profile/profile_set.h"

namespace zyl_profile::cli {

// What one request may ask for: the work and the answer's size follow
// these, never the caller. A query without --limit gets the first
// kMaxServeGroups groups; phases without --limit the first
// kMaxServePhaseRows rows.
inline constexpr std::size_t kMaxServeGroups = 1000;
inline constexpr std::size_t kMaxServeSamples = 10000;
inline constexpr std::size_t kMaxServePhaseRows = 10000;
// A map of the largest bins takes 32 MiB while it is counted.
inline constexpr std::size_t kMaxServeTileBins = 512;
inline constexpr std::size_t kMaxServeTimeBins = 2048;
inline constexpr std::size_t kDefaultServeSamples = 100;
// The query string's bytes, and a body's: requests only ever read, so a
// body is never needed.
inline constexpr std::size_t kMaxServeQueryBytes = 4096;
inline constexpr std::size_t kMaxServeBodyBytes = 1024;
// Requests answered at once; more wait their turn.
inline constexpr std::size_t kServeWorkers = 4;

// How a server answers, besides its profiles.
struct ServeSettings {
  unsigned threads = 0;      // each request's query threads; 0: hardware's
  std::string command_line;  // shown on the page
};

// A server over `profiles` (one, or BASE and NEW), loaded for its life.
// Requests run in parallel on kServeWorkers threads; the profiles are only
// read, and the page is built once, by the first request for it.
class ProfileServer {
 public:
  ProfileServer(std::vector<ProfileSet> profiles, ServeSettings settings);
  ProfileServer(const ProfileServer&) = delete;
  ProfileServer& operator=(const ProfileServer&) = delete;
  ~ProfileServer();

  // Binds `host` on `port` (0: a free one) and returns the port, or why it
  // could not. Only requests naming this address and port are answered.
  [[nodiscard]] Parsed<std::uint16_t> bind(const std::string& host,
                                           std::uint16_t port);
  // The address to give a browser, "http://127.0.0.1:PORT/"; after bind.
  [[nodiscard]] std::string url() const;
  // Answers requests until stop(); true when it stopped as asked.
  bool run();
  // Stops listening, lets the requests being answered finish and returns
  // once run() has returned. Safe from any thread but a request's, before
  // or during run(); a run() after it returns at once.
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Runs `zyl-profile serve`: reads the reports, prints the URL once
// listening and answers until SIGINT or SIGTERM, then exits 0.
[[nodiscard]] ExitCode run_serve(const ServeCommand& command);

}  // namespace zyl_profile::cli
