// The local server of `zyl-profile serve`. A request's parameters become
// the command line of the command it mirrors (`?kind=compute&tile=0-7` is
// `query REPORT --kind=compute --tile=0-7`), parsed by parse_options, so
// the options, their checks and their messages are the command line's;
// the report paths in that line are placeholders, never opened, and never
// taken from the request.
#include "serve.h"

#include <fmt/format.h>
#include <httplib.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "diff.h"
#include "format/json_writer.h"
#include "option_values.h"
#include "output.h"
#include "page.h"
#include "phases.h"
#include "usage_errors.h"
#include "zyl_package/quote.h"
#include "zyl_profile/phase_balance.h"

namespace zyl_profile::cli {
namespace {

// An answer before it becomes an HTTP response.
struct Reply {
  int status = 200;
  std::string body;
  std::string_view type = "application/json";
};

Reply error_reply(int status, std::string_view message) {
  std::string out;
  JsonWriter json(out);
  json.begin_object().field("error", message).end();
  out += '\n';
  return {status, std::move(out)};
}

Reply usage_reply(const UsageError& error) {
  return error_reply(400, error.message);
}

Reply load_reply(const LoadError& error) {
  return error_reply(500, error.to_string());
}

// The options every reading endpoint takes: the filters and the window.
constexpr std::string_view kFilterNames[] = {
    "kind",      "kernel", "operation-contains",
    "tile",      "phase",  "metadata",
    "at-offset", "from",   "to"};

// The parameters the server reads itself rather than a command's parser.
constexpr std::string_view kProfileName = "profile";
constexpr std::string_view kTileBinsName = "tile-bins";
constexpr std::string_view kTimeBinsName = "time-bins";

using Params = std::multimap<std::string, std::string>;

// What an endpoint takes: its own names besides the filters.
struct Accepted {
  std::vector<std::string_view> names;

  [[nodiscard]] bool has(std::string_view name) const {
    return std::find(names.begin(), names.end(), name) != names.end() ||
           std::find(std::begin(kFilterNames), std::end(kFilterNames), name) !=
               std::end(kFilterNames);
  }
};

// Refuses a parameter the endpoint does not take, naming those it does:
// an option of another command, or one that reaches past the request
// (--threads, the read limits, --concatenate), is unknown here.
Parsed<void> check_names(std::string_view endpoint, const Params& params,
                         const Accepted& accepted) {
  for (const auto& [name, value] : params) {
    if (accepted.has(name)) continue;
    std::vector<std::string> known(std::begin(kFilterNames),
                                   std::end(kFilterNames));
    known.insert(known.end(), accepted.names.begin(), accepted.names.end());
    std::string list;
    for (const std::string& one : known) {
      list += list.empty() ? "" : ", ";
      list += one;
    }
    return UsageError{fmt::format(
        "{}: unknown parameter {}{}; it takes {}", endpoint,
        zyl_package::quoted_text(name, '\''), did_you_mean(name, known), list)};
  }
  return {};
}

// Returns the command line `command PLACEHOLDERS --name=value...` for the
// parameters `params` a command parses, leaving out the server's own.
std::vector<std::string> command_line(std::string_view command,
                                      std::size_t reports,
                                      const Params& params) {
  std::vector<std::string> args{std::string(command)};
  for (std::size_t i = 0; i < reports; ++i) {
    args.push_back(i == 0 ? "BASE" : "NEW");
  }
  for (const auto& [name, value] : params) {
    if (name == kProfileName || name == kTileBinsName ||
        name == kTimeBinsName) {
      continue;
    }
    args.push_back("--" + name + "=" + value);
  }
  return args;
}

// Parses `params` as the options of `command`, expecting that command back
// (never --help's text).
template <typename Command>
Parsed<Command> parse_as(std::string_view command, std::size_t reports,
                         const Params& params) {
  ParseResult parsed = parse_options(command_line(command, reports, params));
  if (!parsed.ok()) return parsed.error();
  if (Command* got = std::get_if<Command>(&parsed.value())) {
    return std::move(*got);
  }
  return UsageError{fmt::format("{}: cannot be answered", command)};
}

// The server's own parameters, read as options of their own so that their
// mistakes read as the command line's do.
struct OwnParams {
  std::size_t profile = 0;  // 0: BASE (or the only one), 1: NEW
  OccupancyOptions bins{256, 512};
};

constexpr NameTable<std::size_t, 2> kProfileNames{{{"base", 0}, {"new", 1}}};

Parsed<OwnParams> parse_own(const Params& params, std::size_t profiles) {
  OwnParams own;
  CLI::App app{"", "request"};
  app.add_option("--profile", own.profile)->transform(one_of(kProfileNames));
  app.add_option("--tile-bins", own.bins.tile_bins)
      ->transform(integer_in(1, kMaxServeTileBins, "the rows of a map"));
  app.add_option("--time-bins", own.bins.time_bins)
      ->transform(integer_in(1, kMaxServeTimeBins, "the columns of a map"));
  std::vector<std::string> args{"request"};
  for (const auto& [name, value] : params) {
    if (name == kProfileName || name == kTileBinsName ||
        name == kTimeBinsName) {
      args.push_back("--" + name + "=" + value);
    }
  }
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& error) {
    return usage_error(app, error);
  }
  if (own.profile >= profiles) {
    return UsageError{
        "--profile: new needs two profiles (BASE NEW); this "
        "server has one"};
  }
  return own;
}

// A request of one of the endpoints that read one profile: which side and
// bins it asks for, and the command line it stands for.
template <typename Command>
struct OneProfileRequest {
  OwnParams own;
  Command command;
};

// Checks the names `endpoint` takes, then parses the request's own
// parameters and the rest as `command`'s options over one report.
template <typename Command>
Parsed<OneProfileRequest<Command>> parse_request(std::string_view endpoint,
                                                 std::string_view command,
                                                 const Params& params,
                                                 const Accepted& accepted,
                                                 std::size_t profiles) {
  if (Parsed<void> names = check_names(endpoint, params, accepted);
      !names.ok()) {
    return names.error();
  }
  Parsed<OwnParams> own = parse_own(params, profiles);
  if (!own.ok()) return own.error();
  Parsed<Command> parsed = parse_as<Command>(command, 1, params);
  if (!parsed.ok()) return parsed.error();
  return OneProfileRequest<Command>{own.value(), std::move(parsed.value())};
}

// Returns the groups a request gets: its --limit, at most the cap, and the
// cap without one.
Parsed<std::size_t> capped_groups(const std::optional<std::size_t>& limit) {
  if (!limit) return kMaxServeGroups;
  if (*limit > kMaxServeGroups) {
    return UsageError{
        fmt::format("--limit: at most {} groups a request", kMaxServeGroups)};
  }
  return *limit;
}

Parsed<void> check_samples(std::size_t sample_limit) {
  if (sample_limit > kMaxServeSamples) {
    return UsageError{fmt::format(
        "--sample-limit: at most {} samples a request", kMaxServeSamples)};
  }
  return {};
}

bool is_loopback(std::string_view address) {
  return address.starts_with("127.") || address == "::1" ||
         address == "localhost";
}

// "ADDR:PORT", with an IPv6 address in brackets as a URL and a Host
// header write it.
std::string authority(std::string_view address, std::uint16_t port) {
  if (address.find(':') != std::string_view::npos) {
    return fmt::format("[{}]:{}", address, port);
  }
  return fmt::format("{}:{}", address, port);
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

}  // namespace

struct ProfileServer::State {
  std::vector<ProfileSet> profiles;
  ServeSettings settings;
  httplib::Server http;
  std::string host;
  std::uint16_t port = 0;
  std::atomic<bool> stop_asked{false};
  std::atomic<bool> running{false};  // inside run()
  // The page of the whole profile, built by the first request for it.
  std::once_flag page_once;
  Reply page;

  [[nodiscard]] ParallelOptions parallel() const {
    return ParallelOptions{settings.threads};
  }
  [[nodiscard]] bool comparing() const { return profiles.size() == 2; }

  // The Host names a request may carry: this server's address and port,
  // as bound or as the connection reached it (when bound to every
  // address), and localhost's when that is the loopback. A page from
  // another site whose name was made to point here (DNS rebinding) names
  // its own site, and is refused.
  [[nodiscard]] bool own_host(std::string_view header,
                              std::string_view reached) const {
    const std::string asked = lower(header);
    std::vector<std::string> names{host, std::string(reached)};
    if (is_loopback(host) || is_loopback(reached)) {
      names.insert(names.end(), {"localhost", "127.0.0.1", "::1"});
    }
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) {
      return !n.empty() && asked == lower(authority(n, port));
    });
  }

  // Why a request is refused before any work, or nothing. Pages of other
  // sites may send requests here; only the server's own page (or a client
  // that sends no Origin) is answered.
  [[nodiscard]] std::optional<Reply> refusal(
      const httplib::Request& request) const {
    if (!own_host(request.get_header_value("Host"), request.local_addr)) {
      return error_reply(403, "the Host header does not name this server");
    }
    if (request.has_header("Origin")) {
      const std::string origin = lower(request.get_header_value("Origin"));
      if (!origin.starts_with("http://") ||
          !own_host(std::string_view(origin).substr(7), request.local_addr)) {
        return error_reply(403, "requests from other sites are refused");
      }
    }
    // Refused from the headers, before the body is read: httplib reads
    // a GET's body whatever its length.
    if (request.has_header("Transfer-Encoding") ||
        request.get_header_value<std::uint64_t>("Content-Length") >
            kMaxServeBodyBytes) {
      return error_reply(413, fmt::format("a body is longer than {} bytes",
                                          kMaxServeBodyBytes));
    }
    if (request.method != "GET" && request.method != "HEAD") {
      return error_reply(405, "only GET is answered");
    }
    const std::size_t mark = request.target.find('?');
    if (mark != std::string::npos &&
        request.target.size() - mark - 1 > kMaxServeQueryBytes) {
      return error_reply(414, fmt::format("the query string is longer than {} "
                                          "bytes",
                                          kMaxServeQueryBytes));
    }
    return std::nullopt;
  }

  Reply info() const {
    std::string out;
    JsonWriter json(out);
    json.begin_object(JsonLayout::Block);
    json.key("profiles").begin_array();
    for (const ProfileSet& set : profiles) json.string(profile_label(set));
    json.end();
    json.field("comparing", comparing());
    json.key("caps")
        .begin_object(JsonLayout::Inline)
        .field("groups", kMaxServeGroups)
        .field("samples", kMaxServeSamples)
        .field("phase_rows", kMaxServePhaseRows)
        .field("tile_bins", kMaxServeTileBins)
        .field("time_bins", kMaxServeTimeBins)
        .field("query_bytes", kMaxServeQueryBytes)
        .end();
    json.end();
    out += '\n';
    return {200, std::move(out)};
  }

  Reply query(const Params& params, bool samples_only) const {
    const std::string_view endpoint =
        samples_only ? "/api/samples" : "/api/query";
    const Accepted accepted =
        samples_only ? Accepted{{"sample-limit", kProfileName}}
                     : Accepted{{"group-by", "metadata-key", "sort-by", "limit",
                                 "sample-limit", kProfileName}};
    const Parsed<OneProfileRequest<QueryCommand>> request =
        parse_request<QueryCommand>(endpoint, "query", params, accepted,
                                    profiles.size());
    if (!request.ok()) return usage_reply(request.error());
    const OwnParams& own = request.value().own;
    Query q = request.value().command.selection.query;
    if (samples_only) {
      q.limit = 0;
      if (params.find("sample-limit") == params.end()) {
        q.sample_limit = kDefaultServeSamples;
      }
    } else {
      const Parsed<std::size_t> groups = capped_groups(q.limit);
      if (!groups.ok()) return usage_reply(groups.error());
      q.limit = groups.value();
    }
    if (Parsed<void> listed = check_samples(q.sample_limit); !listed.ok()) {
      return usage_reply(listed.error());
    }
    const Loaded<QueryAnswer> answer =
        zyl_profile::query(profiles[own.profile], q, parallel());
    if (!answer.ok()) return load_reply(answer.error());
    std::string out;
    append_json(answer.value().report, out);
    return {200, std::move(out)};
  }

  Reply map(const Params& params) const {
    const Accepted accepted{{kTileBinsName, kTimeBinsName, kProfileName}};
    const Parsed<OneProfileRequest<QueryCommand>> request =
        parse_request<QueryCommand>("/api/occupancy", "query", params, accepted,
                                    profiles.size());
    if (!request.ok()) return usage_reply(request.error());
    const OwnParams& own = request.value().own;
    const Loaded<Occupancy> answer = occupancy(
        profiles[own.profile], request.value().command.selection.query,
        own.bins, parallel());
    if (!answer.ok()) return load_reply(answer.error());
    std::string out = occupancy_json(answer.value());
    out += '\n';
    return {200, std::move(out)};
  }

  Reply phases(const Params& params) const {
    const Accepted accepted{{"limit", kProfileName}};
    const Parsed<OneProfileRequest<PhasesCommand>> request =
        parse_request<PhasesCommand>("/api/phases", "phases", params, accepted,
                                     profiles.size());
    if (!request.ok()) return usage_reply(request.error());
    const OwnParams& own = request.value().own;
    const PhasesCommand& command = request.value().command;
    const std::size_t asked = command.limit.value_or(0);
    if (asked > kMaxServePhaseRows) {
      return usage_reply(UsageError{fmt::format(
          "--limit: at most {} rows a request", kMaxServePhaseRows)});
    }
    const Loaded<PhaseBalance> answer = phase_balance(
        profiles[own.profile], command.selection.query, parallel());
    if (!answer.ok()) return load_reply(answer.error());
    std::string out;
    append_phases_json(answer.value(), asked == 0 ? kMaxServePhaseRows : asked,
                       out);
    return {200, std::move(out)};
  }

  Reply compare(const Params& params) const {
    if (!comparing()) {
      return error_reply(404,
                         "/api/diff: the server has one profile; start it with "
                         "BASE NEW to compare");
    }
    const Accepted accepted{
        {"group-by", "metadata-key", "sort-by", "limit", "only", "fail-above"}};
    if (Parsed<void> names = check_names("/api/diff", params, accepted);
        !names.ok()) {
      return usage_reply(names.error());
    }
    Parsed<DiffCommand> command = parse_as<DiffCommand>("diff", 2, params);
    if (!command.ok()) return usage_reply(command.error());
    DiffCommand& diff = command.value();
    const Parsed<std::size_t> rows = capped_groups(diff.diff.limit);
    if (!rows.ok()) return usage_reply(rows.error());
    diff.diff.limit = rows.value();
    const Loaded<DiffAnswer> answer = zyl_profile::diff(
        profiles[0], profiles[1], diff.selection.query, diff.diff, parallel());
    if (!answer.ok()) return load_reply(answer.error());
    std::string out;
    append_diff_json(answer.value().report, out);
    return {200, std::move(out)};
  }

  const Reply& whole_page() {
    std::call_once(page_once, [this] {
      Query query;
      query.limit = kDefaultPageGroups;
      PageWork work;
      Loaded<PageInput> input = page_input(profiles, query, parallel(), work);
      if (!input.ok()) {
        page = load_reply(input.error());
        return;
      }
      input.value().command_line = settings.command_line;
      page = {200, render_page(input.value()), "text/html; charset=utf-8"};
    });
    return page;
  }
};

namespace {

void send(httplib::Response& response, const Reply& reply) {
  response.status = reply.status;
  // Answers change with the request alone, yet a browser must never show
  // an old profile's after a restart on the same port.
  response.set_header("Cache-Control", "no-store");
  response.set_header("X-Content-Type-Options", "nosniff");
  // Handed over as content of a known length rather than as the body,
  // which httplib would compress, with brotli whenever the client offers
  // it: seconds for a map at brotli's default quality, for bytes that
  // only cross the loopback.
  auto body = std::make_shared<const std::string>(reply.body);
  response.set_content_provider(
      body->size(), std::string(reply.type),
      [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        return sink.write(body->data() + offset, length);
      });
}

}  // namespace

ProfileServer::ProfileServer(std::vector<ProfileSet> profiles,
                             ServeSettings settings)
    : state_(std::make_unique<State>()) {
  state_->profiles = std::move(profiles);
  state_->settings = std::move(settings);
  httplib::Server& http = state_->http;
  http.new_task_queue = [] { return new httplib::ThreadPool(kServeWorkers); };
  http.set_payload_max_length(kMaxServeBodyBytes);
  // Short, so that stopping never waits long for an idle connection.
  http.set_keep_alive_timeout(1);
  State& state = *state_;
  http.set_pre_routing_handler(
      [&state](const httplib::Request& request, httplib::Response& response) {
        if (std::optional<Reply> refused = state.refusal(request)) {
          send(response, *refused);
          return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
      });
  http.set_exception_handler([](const httplib::Request&,
                                httplib::Response& response,
                                std::exception_ptr thrown) {
    std::string what = "the request failed";
    try {
      std::rethrow_exception(std::move(thrown));
    } catch (const std::bad_alloc&) {
      what = "out of memory";
    } catch (const std::exception& error) {
      what = error.what();
    } catch (...) {
    }
    send(response, error_reply(500, what));
  });
  const auto get = [&](const char* path, auto answer) {
    http.Get(path, [&state, answer](const httplib::Request& request,
                                    httplib::Response& response) {
      send(response, answer(state, request.params));
    });
  };
  get("/", [](State& s, const Params&) { return s.whole_page(); });
  get("/api/info", [](State& s, const Params&) { return s.info(); });
  get("/api/query",
      [](State& s, const Params& p) { return s.query(p, false); });
  get("/api/samples",
      [](State& s, const Params& p) { return s.query(p, true); });
  get("/api/occupancy", [](State& s, const Params& p) { return s.map(p); });
  get("/api/phases", [](State& s, const Params& p) { return s.phases(p); });
  get("/api/diff", [](State& s, const Params& p) { return s.compare(p); });
}

ProfileServer::~ProfileServer() = default;

Parsed<std::uint16_t> ProfileServer::bind(const std::string& host,
                                          std::uint16_t port) {
  httplib::Server& http = state_->http;
  int bound = port;
  if (port == 0) {
    bound = http.bind_to_any_port(host);
  } else if (!http.bind_to_port(host, port)) {
    bound = -1;
  }
  if (bound <= 0) {
    return UsageError{
        fmt::format("cannot listen on {}", authority(host, port))};
  }
  state_->host = host;
  state_->port = static_cast<std::uint16_t>(bound);
  return state_->port;
}

std::string ProfileServer::url() const {
  return "http://" + authority(state_->host, state_->port) + "/";
}

bool ProfileServer::run() {
  // Set before stop_asked is read: a stop() that finds run() not yet
  // running has set stop_asked first, and run() sees it.
  state_->running = true;
  bool listened = true;
  if (!state_->stop_asked) listened = state_->http.listen_after_bind();
  const bool asked = state_->stop_asked;
  state_->running = false;
  return listened || asked;
}

void ProfileServer::stop() {
  state_->stop_asked = true;
  // httplib's stop() does nothing until listen_after_bind has started, so
  // it is repeated until run() returns.
  while (state_->running) {
    state_->http.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

ExitCode run_serve(const ServeCommand& command) {
  OpenOptions options = open_options(command.limits, false);
  options.keep_loaded = true;
  Loaded<std::vector<ProfileSet>> opened =
      open_profiles(command.reports, options);
  if (!opened.ok()) {
    print_load_error(opened.error());
    return ExitCode::ReadError;
  }
  std::vector<ProfileSet>& profiles = opened.value();
  if (profiles.size() > 2) {
    print_error(fmt::format(
        "REPORT: expected one profile, or two (BASE NEW) to compare, found {}",
        profiles.size()));
    std::fputs(fmt::format("{}\n", kUsageHint).c_str(), stderr);
    return ExitCode::Usage;
  }
  // Every file is read now, once: a file that cannot be read is said before
  // the server listens, and no request waits for a load.
  for (const ProfileSet& set : profiles) {
    for (std::size_t position = 0; position < set.size(); ++position) {
      if (const ColumnsResult loaded = set.load(position); !loaded.ok()) {
        print_load_error(loaded.error());
        return ExitCode::ReadError;
      }
    }
  }

  ProfileServer server(
      std::move(profiles),
      ServeSettings{command.threads, command_line_text(command.arguments)});
  // SIGINT and SIGTERM are blocked before any of the server's threads
  // start, so all of them inherit the mask and the signals wait for the
  // one thread that takes them with sigtimedwait: no handler runs, so
  // stopping may do anything, not only what a handler may.
  sigset_t stopping;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGINT);
  sigaddset(&stopping, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopping, &previous);
  const Parsed<std::uint16_t> bound = server.bind(command.host, command.port);
  if (!bound.ok()) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    print_error(bound.error().message);
    return ExitCode::ReadError;
  }
  if (command.host_given && !is_loopback(command.host)) {
    print_error(fmt::format(
        "warning: listening on {}: anyone who can reach this machine there "
        "can read the profiles",
        command.host));
  }
  std::fputs((server.url() + "\n").c_str(), stdout);
  std::fflush(stdout);

  std::atomic<bool> finished{false};
  std::thread waiter([&] {
    const timespec tick{0, 100'000'000};
    while (!finished) {
      if (sigtimedwait(&stopping, nullptr, &tick) > 0) {
        server.stop();
        return;
      }
    }
  });
  const bool stopped = server.run();
  finished = true;
  waiter.join();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!stopped) {
    print_error(fmt::format("stopped listening on {}", server.url()));
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

}  // namespace zyl_profile::cli
