// The released wheel on a system that has nothing else: its files in a root that holds only the
// C library (libc, libm) and the dynamic loader — no Python, OpenSSL, SQLite or C++ runtime —
// entered with chroot in a private mount namespace (and a user namespace when not root). There
// the program answers --version and runs one-shots against the simulator on loopback, over
// ws:// and over wss:// with a test CA given through SSL_CERT_FILE. Where the kernel refuses
// namespaces (many CI containers) the same files run in place, and the binaries' link needs are
// what holds them to the C library.
//
// scripts/test builds the release wheel and names it in VELMORA_WHEEL; without it the tests
// skip (a dev build alone has no wheel to try).
#include <link.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "http_test_server.hpp"
#include "sim_process.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;
using velmora::testing::ProcessOptions;
using velmora::testing::ProcessResult;
using velmora::testing::run_process;
using velmora::testing::SimProcess;
using velmora::testing::TempDir;

constexpr const char* QUERY = "portable sim:stream=3";
constexpr const char* ANSWER = "token0 token1 token2\n";

// The files of the C library the test itself runs on, by their absolute names.
std::vector<fs::path> c_library_files() {
  std::vector<fs::path> files;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        const fs::path name = info->dlpi_name != nullptr ? info->dlpi_name : "";
        const std::string file = name.filename().string();
        if (name.is_absolute() &&
            (file == "libc.so.6" || file == "libm.so.6" || file.rfind("ld-linux", 0) == 0)) {
          static_cast<std::vector<fs::path>*>(out)->push_back(name);
        }
        return 0;
      },
      &files);
  return files;
}

ProcessResult must_run(const std::string& program, ProcessOptions options) {
  options.timeout_seconds = 300;
  auto result = run_process(program, options);
  EXPECT_EQ(result.exit_code, 0) << program << " " << ::testing::PrintToString(options.args) << "\n"
                                 << result.out << result.err;
  return result;
}

// The newest GLIBC_x.y the files need, as binutils reads their version needs: "x_y".
std::string newest_glibc(const std::vector<fs::path>& files) {
  std::vector<int> newest = {0, 0};
  const std::regex version(R"(Name: GLIBC_([0-9]+)\.([0-9]+))");
  for (const auto& file : files) {
    const auto listing = must_run("readelf", {.args = {"-V", "-W", file.string()}}).out;
    for (std::sregex_iterator it(listing.begin(), listing.end(), version), end; it != end; ++it) {
      const std::vector<int> found = {std::stoi((*it)[1]), std::stoi((*it)[2])};
      newest = std::max(newest, found);
    }
  }
  return std::to_string(newest[0]) + "_" + std::to_string(newest[1]);
}

class ReleasePortable : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* wheel = std::getenv("VELMORA_WHEEL");
    if (wheel == nullptr || *wheel == '\0') return;
    wheel_ = new fs::path(wheel);
    work_ = new TempDir;
    const auto venv = work_->path() / "venv";
    ProcessOptions pip;
    pip.clean_env = true;
    pip.env = {{"HOME", work_->path().string()},
               {"PIP_CONFIG_FILE", "/dev/null"},
               {"PIP_NO_INDEX", "1"},
               {"PIP_DISABLE_PIP_VERSION_CHECK", "1"}};
    pip.args = {"-m", "venv", venv.string()};
    must_run("python3", pip);
    // pip itself checks the wheel's tag against this system.
    pip.args = {"-m", "pip", "install", "--no-deps", wheel_->string()};
    must_run((venv / "bin/python3").string(), pip);

    const auto root = work_->path() / "root";
    fs::create_directories(root / "venv/bin");
    fs::create_directories(root / "venv/lib");
    fs::copy_file(venv / "bin/velmora", root / "venv/bin/velmora");
    for (const auto& entry : fs::directory_iterator(venv / "lib")) {
      if (entry.is_regular_file() &&
          entry.path().filename().string().find(".so") != std::string::npos) {
        fs::copy_file(entry.path(), root / "venv/lib" / entry.path().filename());
      }
    }
    fs::copy(venv / "share", root / "venv/share", fs::copy_options::recursive);
    for (const auto& file : c_library_files()) {
      fs::create_directories(root / file.relative_path().parent_path());
      fs::copy_file(fs::canonical(file), root / file.relative_path());
    }
    for (const char* dir : {"proc", "home", "etc", "tmp"}) fs::create_directories(root / dir);
  }

  static void TearDownTestSuite() {
    delete work_;
    delete wheel_;
    work_ = nullptr;
    wheel_ = nullptr;
  }

  void SetUp() override {
    if (wheel_ == nullptr) {
      GTEST_SKIP() << "no release wheel: VELMORA_WHEEL names it (scripts/test builds one)";
    }
    // A wheel named but not there is a broken run, not a reason to skip.
    ASSERT_TRUE(fs::exists(*wheel_)) << "VELMORA_WHEEL names no file: " << *wheel_;
    if (!probed_) {
      // The kernel may refuse namespaces or chroot here (a container without the rights): the
      // loader of the root answering its --version is all it takes to know. Without them the
      // same files run in place on the host, and the link test below still holds the binaries
      // to the C library alone.
      probed_ = true;
      const auto probe = in_root(root(), {}, {loader()}, {"--version"});
      isolated_ = probe.exit_code == 0;
      if (!isolated_ && probe.err.find("not permitted") == std::string::npos &&
          probe.err.find("Permission denied") == std::string::npos) {
        FAIL() << "the root's loader does not start: " << probe.err;
      }
    }
  }

  static fs::path root() { return work_->path() / "root"; }

  static std::string loader() {
    for (const auto& file : c_library_files()) {
      if (file.filename().string().rfind("ld-linux", 0) == 0) return file.string();
    }
    return "/lib64/ld-linux-x86-64.so.2";
  }

  // `command` run inside `root`: /proc is the only thing of the host's it sees.
  static ProcessResult in_root(const fs::path& root,
                               std::map<std::string, std::optional<std::string>> env,
                               std::vector<std::string> command, std::vector<std::string> args) {
    ProcessOptions options;
    options.clean_env = true;
    options.env = {{"HOME", "/home"},
                   {"XDG_CONFIG_HOME", "/home/config"},
                   {"XDG_STATE_HOME", "/home/state"},
                   {"LANG", "C.UTF-8"}};
    for (auto& [name, value] : env) options.env[name] = value;
    options.timeout_seconds = 120;
    options.args = {"--mount"};
    if (::geteuid() != 0) options.args.emplace_back("--map-root-user");
    options.args.insert(options.args.end(),
                        {"--", "/bin/sh", "-c",
                         R"(mount --rbind /proc "$0/proc" && exec /usr/sbin/chroot "$0" "$@")"});
    options.args.push_back(root.string());
    for (auto& item : command) options.args.push_back(std::move(item));
    for (auto& item : args) options.args.push_back(std::move(item));
    return run_process("/usr/bin/unshare", options);
  }

  static ProcessResult velmora(const fs::path& root, std::vector<std::string> args,
                               std::map<std::string, std::optional<std::string>> env = {}) {
    if (isolated_) return in_root(root, std::move(env), {"/venv/bin/velmora"}, std::move(args));
    ProcessOptions options;
    options.clean_env = true;
    options.env = {{"HOME", (root / "home").string()},
                   {"XDG_CONFIG_HOME", (root / "home/config").string()},
                   {"XDG_STATE_HOME", (root / "home/state").string()},
                   {"LANG", "C.UTF-8"}};
    for (auto& [name, value] : env) {
      // Paths given for the root are the root's own.
      options.env[name] = value && value->starts_with('/') ? (root.string() + *value) : value;
    }
    options.timeout_seconds = 120;
    options.args = std::move(args);
    return run_process((root / "venv/bin/velmora").string(), options);
  }

  // How a file of `root` is named by the program that runs there.
  static std::string seen(const fs::path& root, const std::string& file) {
    return isolated_ ? file : root.string() + file;
  }

  static std::vector<std::string> one_shot(const std::string& url) {
    return {"--url", url,       "--token", "portable-token", "--user-id",
            "u1",    "--query", QUERY,     "--plain-output", "--non-interactive"};
  }

  // A one-shot that first uploads a small file of `root` to the File API of `sim`.
  static std::vector<std::string> one_shot_uploading(const fs::path& root, const SimProcess& sim) {
    velmora::testing::write_file(root / "tmp/note.txt", "a note for the File API\n");
    auto args = one_shot(sim.ws_url());
    args.insert(args.end(),
                {"--attachment", seen(root, "/tmp/note.txt"), "--file-api-url", sim.http_url()});
    return args;
  }

  static fs::path* wheel_;
  static TempDir* work_;
  static bool probed_;
  static bool isolated_;
};

fs::path* ReleasePortable::wheel_ = nullptr;
TempDir* ReleasePortable::work_ = nullptr;
bool ReleasePortable::probed_ = false;
bool ReleasePortable::isolated_ = false;

TEST_F(ReleasePortable, RunsOnARootWithOnlyTheCLibrary) {
  const auto version = velmora(root(), {"--version"});
  ASSERT_EQ(version.exit_code, 0) << version.err;
  EXPECT_THAT(version.out, StartsWith("velmora "));
  EXPECT_EQ(version.err, "");
  // Beyond --version the session library and everything it needs load.
  const auto help = velmora(root(), {"--help"});
  ASSERT_EQ(help.exit_code, 0) << help.err;
  EXPECT_THAT(help.out, HasSubstr("--query"));

  SimProcess plain({"--pace", "0"});
  const auto ws = velmora(root(), one_shot(plain.ws_url()));
  ASSERT_EQ(ws.exit_code, 0) << ws.out << ws.err;
  EXPECT_THAT(ws.out, StartsWith(ANSWER));
  // The upload client loads with the first attachment, found beside the session library.
  const auto upload = velmora(root(), one_shot_uploading(root(), plain));
  ASSERT_EQ(upload.exit_code, 0) << upload.out << upload.err;
  EXPECT_THAT(upload.out, HasSubstr(ANSWER));
  // No library of ours needs libm: the JSON result's duration is rounded by it, loaded with
  // that first call from the root's C library.
  auto as_json = one_shot(plain.ws_url());
  as_json.insert(as_json.end(), {"--output-format", "json"});
  const auto json = velmora(root(), as_json);
  ASSERT_EQ(json.exit_code, 0) << json.out << json.err;
  EXPECT_THAT(json.out, MatchesRegex(".*\"duration_ms\": [0-9]+,.*"));

  TempDir keys;
  const auto pem = velmora::testing::make_test_certificate({"127.0.0.1"});
  velmora::testing::write_file(keys.path() / "cert.pem", pem.certificate);
  velmora::testing::write_file(keys.path() / "key.pem", pem.private_key);
  velmora::testing::write_file(root() / "etc/test-ca.pem", pem.certificate);
  SimProcess tls({"--pace", "0", "--tls-cert", (keys.path() / "cert.pem").string(), "--tls-key",
                  (keys.path() / "key.pem").string()});
  const std::string wss_url = "wss://127.0.0.1:" + std::to_string(tls.port()) + "/ws/v3";
  const auto wss = velmora(root(), one_shot(wss_url), {{"SSL_CERT_FILE", "/etc/test-ca.pem"}});
  ASSERT_EQ(wss.exit_code, 0) << wss.out << wss.err;
  EXPECT_THAT(wss.out, StartsWith(ANSWER));
  // Trusted only through that file: without it the same server is refused.
  const auto untrusted = velmora(root(), one_shot(wss_url));
  EXPECT_EQ(untrusted.exit_code, 1) << untrusted.out << untrusted.err;
  EXPECT_THAT(untrusted.out, Not(HasSubstr("token0")));
}

TEST_F(ReleasePortable, BinariesNeedOnlyTheCLibraryAndTheTagSaysWhichVersion) {
  std::vector<fs::path> binaries = {root() / "venv/bin/velmora"};
  for (const auto& entry : fs::directory_iterator(root() / "venv/lib")) {
    binaries.push_back(entry.path());
  }
  const std::regex needed(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
  for (const auto& binary : binaries) {
    const auto listing = must_run("readelf", {.args = {"-d", "-W", binary.string()}}).out;
    for (std::sregex_iterator it(listing.begin(), listing.end(), needed), end; it != end; ++it) {
      const std::string library = (*it)[1];
      // libm too is the C library's, but loading it was a twentieth of a run's start-up and a
      // run calls none of its functions: ours load it with the first call.
      const bool system = library == "libc.so.6" || library.rfind("ld-linux", 0) == 0;
      const bool own = fs::exists(root() / "venv/lib" / library);
      EXPECT_TRUE(system || own) << binary.filename() << " needs " << library;
    }
  }
  utsname machine{};
  ASSERT_EQ(::uname(&machine), 0);
  const std::string tag = "manylinux_" + newest_glibc(binaries) + "_" + machine.machine;
  EXPECT_THAT(wheel_->filename().string(),
              MatchesRegex("velmora_cli-[0-9.]+-py3-none-" + tag + "\\.whl"));
}

TEST_F(ReleasePortable, MissingOrDamagedFilesAreNamedWithWhatHelps) {
  TempDir copy;
  const auto broken = copy.path() / "root";
  fs::copy(root(), broken, fs::copy_options::recursive);
  constexpr const char* REINSTALL =
      "Reinstall velmora_cli to restore it: python3 -m pip install --force-reinstall velmora_cli\n";

  // OpenSSL loads with the first TLS connection: without it a ws:// run still answers, and a
  // wss:// run names the file instead of connecting.
  fs::remove(broken / "venv/lib/libvelmora_tls.so");
  SimProcess plain({"--pace", "0"});
  auto run = velmora(broken, one_shot(plain.ws_url()));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.out, StartsWith(ANSWER));
  run = velmora(broken, one_shot("wss://127.0.0.1:" + std::to_string(plain.port()) + "/ws/v3"));
  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_THAT(run.out, HasSubstr("a file of the installation is missing: " +
                                 seen(broken, "/venv/lib/libvelmora_tls.so") + ". " +
                                 std::string(REINSTALL)));

  // The upload client loads with the first attachment: without it a run still answers, and a
  // run with an attachment names the file instead of uploading.
  fs::remove(broken / "venv/lib/libparcelon.so.0");
  run = velmora(broken, one_shot(plain.ws_url()));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.out, StartsWith(ANSWER));
  run = velmora(broken, one_shot_uploading(broken, plain));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.out + run.err, HasSubstr("a file of the installation is missing: " +
                                           seen(broken, "/venv/lib/libparcelon.so.0") + ". " +
                                           std::string(REINSTALL)));
  EXPECT_THAT(run.out, Not(HasSubstr("token0")));

  fs::resize_file(broken / "venv/lib/libvelmora_session.so", 100);
  run = velmora(broken, {"--help"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, StartsWith("velmora: a file of the installation cannot be loaded: " +
                                  seen(broken, "/venv/lib/libvelmora_session.so") + ": "));
  EXPECT_THAT(run.err, HasSubstr(REINSTALL));

  fs::remove(broken / "venv/lib/libvelmora_session.so");
  run = velmora(broken, {"--query", "hi"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, "velmora: a file of the installation is missing: " +
                         seen(broken, "/venv/lib/libvelmora_session.so") + "\n" +
                         std::string(REINSTALL));
  EXPECT_EQ(run.out, "");
}

}  // namespace
