// The server started in this process on a free port and asked through
// httplib's client: each endpoint answers what the command it mirrors
// prints for the same options, bad parameters get the command line's
// message, requests from elsewhere and oversized ones are refused, many
// requests at once answer as each does alone, and stop() ends it with
// requests in flight.
#include "serve.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "diff.h"
#include "output.h"
#include "page.h"
#include "phases.h"
#include "zyl_package/generate.h"
#include "zyl_profile/phase_balance.h"

namespace zyl_profile::cli {
namespace {

ProfileSet generated(std::uint64_t seed, std::string name) {
  zyl_package::GenerateOptions options =
      zyl_package::options_for_total(20000, 32);
  options.model = zyl_package::GenerateModel::BulkSynchronous;
  options.seed = seed;
  return ProfileSet::of(
      zyl_package::to_columns(zyl_package::generate_report(options)),
      std::move(name));
}

// A server over `profiles` answering on a thread of its own.
class Running {
 public:
  explicit Running(std::vector<ProfileSet> profiles)
      : server_(std::move(profiles), ServeSettings{2, "zyl-profile serve t"}) {
    const Parsed<std::uint16_t> bound = server_.bind("127.0.0.1", 0);
    EXPECT_TRUE(bound.ok());
    port_ = bound.ok() ? bound.value() : 0;
    thread_ = std::thread([this] { stopped_ = server_.run(); });
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  ~Running() { stop(); }

  void stop() {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
  }
  [[nodiscard]] bool stopped() const { return stopped_; }
  [[nodiscard]] std::uint16_t port() const { return port_; }
  [[nodiscard]] httplib::Client client() const {
    return httplib::Client("127.0.0.1", port_);
  }
  // The response to GET `target`; status -1 when none came.
  [[nodiscard]] std::pair<int, std::string> get(
      const std::string& target, const httplib::Headers& headers = {}) const {
    httplib::Client http = client();
    const httplib::Result result = http.Get(target, headers);
    if (!result) return {-1, {}};
    return {result->status, result->body};
  }

 private:
  ProfileServer server_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopped_{false};
  std::thread thread_;
};

// The command the command line builds from `args` (with a placeholder
// report), as the reference the server's answers are held to.
template <typename Command>
Command parsed(std::vector<std::string> args) {
  ParseResult result = parse_options(args);
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message);
  return std::get<Command>(std::move(result).value());
}

std::string query_json(const ProfileSet& set, std::vector<std::string> args) {
  args.insert(args.begin(), {"query", "r.zpk"});
  const QueryCommand command = parsed<QueryCommand>(args);
  std::string out;
  append_json(zyl_profile::query(set, command.selection.query).value().report,
              out);
  return out;
}

TEST(Serve, EachEndpointAnswersAsItsCommandPrints) {
  const ProfileSet base = generated(1, "base.zpk");
  const ProfileSet next = generated(2, "new.zpk");
  const Running server({base, next});

  const std::vector<std::pair<std::string, std::vector<std::string>>> queries{
      {"", {}},
      {"group-by=kind&kind=compute&tile=0-7",
       {"--group-by", "kind", "--kind", "compute", "--tile", "0-7"}},
      {"group-by=tile&sort-by=work-cycles&limit=5&from=10%25&to=60%25",
       {"--group-by", "tile", "--sort-by", "work-cycles", "--limit", "5",
        "--from", "10%", "--to", "60%"}},
      {"at-offset=50%25&sample-limit=3&phase=1,3",
       {"--at-offset", "50%", "--sample-limit", "3", "--phase", "1,3"}},
      {"kernel=", {"--kernel="}},
  };
  for (const auto& [params, args] : queries) {
    SCOPED_TRACE(params);
    EXPECT_EQ(server.get("/api/query?" + params),
              std::make_pair(200, query_json(base, args)));
    EXPECT_EQ(server.get("/api/query?profile=new&" + params),
              std::make_pair(200, query_json(next, args)));
  }

  std::vector<std::string> listed{"--limit", "0",    "--sample-limit", "7",
                                  "--from",  "1000", "--to",           "5000"};
  EXPECT_EQ(server.get("/api/samples?sample-limit=7&from=1000&to=5000"),
            std::make_pair(200, query_json(base, listed)));
  listed[3] = std::to_string(kDefaultServeSamples);
  EXPECT_EQ(server.get("/api/samples?from=1000&to=5000"),
            std::make_pair(200, query_json(base, listed)));

  const QueryCommand window = parsed<QueryCommand>(
      {"query", "r.zpk", "--from", "20%", "--to", "30%", "--tile", "4-11"});
  EXPECT_EQ(
      server.get("/api/occupancy?from=20%25&to=30%25&tile=4-11&tile-bins=3&"
                 "time-bins=40"),
      std::make_pair(
          200, occupancy_json(
                   occupancy(base, window.selection.query, {3, 40}).value()) +
                   "\n"));

  const PhasesCommand phases =
      parsed<PhasesCommand>({"phases", "r.zpk", "--kind", "compute"});
  std::string balance;
  append_phases_json(phase_balance(next, phases.selection.query).value(), 4,
                     balance);
  EXPECT_EQ(server.get("/api/phases?profile=new&kind=compute&limit=4"),
            std::make_pair(200, balance));

  const DiffCommand diff = parsed<DiffCommand>(
      {"diff", "b.zpk", "n.zpk", "--group-by", "phase", "--limit", "6"});
  std::string compared;
  append_diff_json(
      zyl_profile::diff(base, next, diff.selection.query, diff.diff)
          .value()
          .report,
      compared);
  EXPECT_EQ(server.get("/api/diff?group-by=phase&limit=6"),
            std::make_pair(200, compared));
}

TEST(Serve, ThePageIsTheReportOfTheWholeProfile) {
  const ProfileSet base = generated(3, "base.zpk");
  const Running server({base});
  Query query;
  query.limit = kDefaultPageGroups;
  PageWork work;
  PageInput input = page_input({base}, query, {}, work).value();
  input.command_line = "zyl-profile serve t";
  const std::string page = render_page(input);
  // Built once and kept: the second answer is the first.
  EXPECT_EQ(server.get("/"), std::make_pair(200, page));
  EXPECT_EQ(server.get("/"), std::make_pair(200, page));
  EXPECT_EQ(server.get("/page.js").first, 404);
  // Never compressed: brotli would cost seconds for bytes that only cross
  // the loopback.
  httplib::Client http = server.client();
  http.set_decompress(false);
  const httplib::Result plain =
      http.Get("/", {{"Accept-Encoding", "gzip, deflate, br"}});
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->has_header("Content-Encoding"));
  EXPECT_EQ(plain->body, page);
}

// The body of the 400 a command line's mistake gets: its own message.
std::string error_body(const std::string& message) {
  std::string out;
  JsonWriter(out).begin_object().field("error", message).end();
  return out + "\n";
}

TEST(Serve, BadParametersGetTheCommandLinesMessage) {
  const Running server({generated(4, "base.zpk")});
  for (const auto& [params, args] :
       std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"kind=bogus", {"--kind", "bogus"}},
           {"tile=9-3", {"--tile", "9-3"}},
           {"group-by=colour", {"--group-by", "colour"}},
           {"from=150%25", {"--from", "150%"}},
           {"kind=compute&kind=idle", {"--kind", "compute", "--kind", "idle"}},
       }) {
    SCOPED_TRACE(params);
    std::vector<std::string> line{"query", "r.zpk"};
    line.insert(line.end(), args.begin(), args.end());
    const ParseResult refused = parse_options(line);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(server.get("/api/query?" + params),
              std::make_pair(400, error_body(refused.error().message)));
  }
  // Options that reach past the request, other commands' options, --help,
  // and what exceeds the caps, are refused by name.
  for (const std::string target :
       {"/api/query?threads=64", "/api/query?max-memory=1T",
        "/api/query?concatenate=", "/api/query?help=", "/api/query?output=x",
        "/api/query?format=csv", "/api/samples?group-by=kind",
        "/api/phases?sample-limit=3", "/api/query?limit=1001",
        "/api/query?sample-limit=10001", "/api/samples?sample-limit=10001",
        "/api/phases?limit=10001", "/api/occupancy?tile-bins=513",
        "/api/occupancy?time-bins=2049", "/api/occupancy?time-bins=0",
        "/api/occupancy?profile=new", "/api/query?profile=other"}) {
    SCOPED_TRACE(target);
    const auto [status, body] = server.get(target);
    EXPECT_EQ(status, 400);
    const std::string name = target.substr(
        target.find('?') + 1, target.find('=') - target.find('?') - 1);
    EXPECT_NE(body.find(name), std::string::npos) << body;
  }
  EXPECT_EQ(server.get("/api/diff").first, 404);
}

TEST(Serve, RequestsFromElsewhereAreRefused) {
  const Running server({generated(5, "base.zpk")});
  const std::string port = std::to_string(server.port());
  const std::string other = std::to_string(server.port() == 1 ? 2 : 1);
  for (const httplib::Headers& headers : std::vector<httplib::Headers>{
           {{"Host", "evil.example:" + port}},
           {{"Host", "127.0.0.1:" + other}},
           {{"Host", "127.0.0.1"}},
           {{"Host", "localhost.evil.example:" + port}},
           {{"Origin", "http://evil.example"}},
           {{"Origin", "null"}},
           {{"Origin", "https://127.0.0.1:" + port}},
           {{"Origin", "http://127.0.0.1:" + other}},
       }) {
    SCOPED_TRACE(headers.begin()->first + ": " + headers.begin()->second);
    EXPECT_EQ(server.get("/api/info", headers).first, 403);
    EXPECT_EQ(server.get("/", headers).first, 403);
  }
  for (const httplib::Headers& headers : std::vector<httplib::Headers>{
           {},
           {{"Host", "localhost:" + port}},
           {{"Host", "LOCALHOST:" + port}},
           {{"Origin", "http://127.0.0.1:" + port}},
           {{"Origin", "http://localhost:" + port}},
       }) {
    EXPECT_EQ(server.get("/api/info", headers).first, 200);
  }
}

TEST(Serve, OversizedRequestsAreRefused) {
  const Running server({generated(6, "base.zpk")});
  const std::string kernel(kMaxServeQueryBytes, 'k');
  EXPECT_EQ(server.get("/api/query?kernel=" + kernel).first, 414);
  EXPECT_EQ(server.get("/api/query?kernel=" + kernel.substr(0, 4000)).first,
            200);
  // A body is refused by its length, whatever the method; no request
  // takes one, so any other method is refused too.
  httplib::Client http = server.client();
  httplib::Request with_body;
  with_body.method = "GET";
  with_body.path = "/api/info";
  with_body.body = std::string(kMaxServeBodyBytes + 1, 'x');
  with_body.set_header("Content-Type", "text/plain");
  httplib::Response answered;
  httplib::Error error = httplib::Error::Success;
  ASSERT_TRUE(http.send(with_body, answered, error));
  EXPECT_EQ(answered.status, 413);
  const httplib::Result big = http.Post(
      "/api/query", std::string(kMaxServeBodyBytes + 1, 'x'), "text/plain");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 413);
  const httplib::Result post = http.Post("/api/query", "x", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);
}

TEST(Serve, ConcurrentRequestsAnswerAsEachAlone) {
  const Running server({generated(7, "base.zpk"), generated(8, "new.zpk")});
  std::mt19937 rng(11);
  const std::vector<std::string> paths{"/api/query", "/api/samples",
                                       "/api/occupancy", "/api/phases"};
  const std::vector<std::string> options{
      "kind=compute",   "kind=exchange", "tile=0-15",
      "tile=3,9,20-25", "from=10%25",    "to=70%25",
      "phase=2-5",      "profile=new",   "kernel=conv_1"};
  std::vector<std::string> targets{"/api/diff?group-by=tile", "/api/diff",
                                   "/api/info", "/api/query?kind=bogus"};
  for (int i = 0; i < 36; ++i) {
    std::string target = paths[rng() % paths.size()] + "?";
    for (const std::string& option : options) {
      if (rng() % 3 == 0) target += option + "&";
    }
    targets.push_back(target);
  }
  std::vector<std::pair<int, std::string>> alone;
  for (const std::string& target : targets) alone.push_back(server.get(target));
  EXPECT_EQ(alone[3].first, 400);

  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  std::atomic<int> asked{0};
  for (unsigned t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 pick(t);
      httplib::Client http = server.client();
      for (int i = 0; i < 40; ++i) {
        const std::size_t k = pick() % targets.size();
        const httplib::Result got = http.Get(targets[k]);
        if (!got || got->status != alone[k].first ||
            got->body != alone[k].second) {
          ++wrong;
        }
        ++asked;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(asked, 240);
  EXPECT_EQ(wrong, 0);
}

TEST(Serve, StopEndsTheServerWithRequestsInFlight) {
  Running server({generated(9, "base.zpk")});
  const std::pair<int, std::string> expected =
      server.get("/api/occupancy?tile-bins=32&time-bins=2048");
  ASSERT_EQ(expected.first, 200);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        const auto got =
            server.get("/api/occupancy?tile-bins=32&time-bins=2048");
        // Answered whole, or not at all once the server has gone.
        if (got.first != -1 && got != expected) ++wrong;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  server.stop();
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(server.stopped());
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(server.get("/api/info").first, -1);

  // Stopped before it ever ran: run() returns at once.
  ProfileServer idle({generated(10, "base.zpk")}, {});
  ASSERT_TRUE(idle.bind("127.0.0.1", 0).ok());
  idle.stop();
  EXPECT_TRUE(idle.run());
}

}  // namespace
}  // namespace zyl_profile::cli
