// `vlntable cali plot` and `vlntable kit plot` (and the runner behind `vlntable beam plot`): the
// pictures are drawn by the Python package's `arvcore.plot` on matplotlib, which this command
// runs in its place.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "arvcore/value/printable.hpp"
#include "cali_common.hpp"
#include "commands.hpp"

namespace vlntable {

namespace fs = std::filesystem;

const char* const plot_requirements =
    "Drawn by the Python package arvcore (module arvcore.plot) on matplotlib: needs Python 3 "
    "with the Debian package python3-matplotlib. The interpreter is $VLNTABLE_PYTHON (default "
    "/usr/bin/python3); the package is looked for in $VLNTABLE_PYTHONPATH, else in ../python "
    "(a build tree) or ../lib/python3/dist-packages (an installation prefix) beside this "
    "command, else where the interpreter finds it.";

namespace {

const char* env_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

/// The directory to put first on the interpreter's module path, or empty to rely on an
/// installed package.
std::string package_dir() {
  if (const std::string dir = env_or_empty("VLNTABLE_PYTHONPATH"); !dir.empty()) {
    return dir;
  }
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) {
    return {};
  }
  // Build tree: build/tools/vlntable beside build/python/arvcore. Installed under a prefix:
  // PREFIX/bin/vlntable beside PREFIX/lib/python3/dist-packages/arvcore.
  const fs::path up = exe.parent_path().parent_path();
  for (const fs::path& dir : {up / "python", up / "lib" / "python3" / "dist-packages"}) {
    if (fs::exists(dir / "arvcore" / "plot.py", ec)) {
      return dir.string();
    }
  }
  return {};
}

}  // namespace

int run_python_plot(const std::vector<std::string>& args) {
  std::string interpreter = env_or_empty("VLNTABLE_PYTHON");
  if (interpreter.empty()) {
    interpreter = "/usr/bin/python3";
  }
  if (const std::string dir = package_dir(); !dir.empty()) {
    const std::string old = env_or_empty("PYTHONPATH");
    ::setenv("PYTHONPATH", (old.empty() ? dir : dir + ":" + old).c_str(), 1);
  }
  std::vector<std::string> words{interpreter, "-m", "arvcore.plot"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) {
    argv.push_back(w.data());
  }
  argv.push_back(nullptr);
  std::cout.flush();
  ::execvp(argv[0], argv.data());
  std::cerr << fmt::format("error: cannot run {}: {}\n{}\n", arvcore::value::printable(interpreter),
                           std::strerror(errno), plot_requirements);
  return 2;
}

namespace {

struct CaliPlotOptions {
  CaliOptions cali;
  std::string out;
  std::string what = "ranges";
  std::string mode = "TX";
  std::string step = "1";
  std::string channel;
  int board = 1;
  int chip = 1;
};

int cali_plot(const CaliPlotOptions& o) {
  // Numbers beyond the layout would draw an empty picture.
  const arvcore::Value layout = parse_layout(o.cali.layout);
  check_range("--board", o.board, layout[0].get<std::int64_t>(), o.cali.layout, "boards");
  check_range("--chip", o.chip, layout[1].get<std::int64_t>(), o.cali.layout, "ICs per board");
  for (std::size_t start = 0; start < o.channel.size();) {
    const auto comma = std::min(o.channel.find(',', start), o.channel.size());
    const std::string piece = o.channel.substr(start, comma - start);
    std::int64_t ch = 0;
    try {
      ch = std::stoll(piece);
    } catch (const std::exception&) {
      throw std::invalid_argument(fmt::format("--channel takes channel numbers, not '{}'", piece));
    }
    check_range("--channel", ch, layout[2].get<std::int64_t>(), o.cali.layout, "channels per IC");
    start = comma + 1;
  }
  std::vector<std::string> args{"cali",
                                o.cali.sn,
                                o.cali.freq,
                                "--out",
                                o.out,
                                "--layout",
                                o.cali.layout,
                                "--what",
                                o.what,
                                "--mode",
                                o.mode,
                                "--board",
                                std::to_string(o.board),
                                "--chip",
                                std::to_string(o.chip),
                                "--step",
                                o.step};
  if (!o.channel.empty()) {
    args.insert(args.end(), {"--channel", o.channel});
  }
  if (!o.cali.files.empty()) {
    args.insert(args.end(), {"--files", o.cali.files});
  }
  return run_python_plot(args);
}

struct KitPlotOptions {
  std::string files, name, out, support;
  int devtype = 9, channels = 16, polar = 1;
};

int kit_plot(const KitPlotOptions& o) {
  std::vector<std::string> args{"kit",        o.name,
                                "--out",      o.out,
                                "--devtype",  std::to_string(o.devtype),
                                "--channels", std::to_string(o.channels),
                                "--polar",    std::to_string(o.polar)};
  if (!o.support.empty()) {
    args.insert(args.end(), {"--support", o.support});
  }
  if (!o.files.empty()) {
    args.insert(args.end(), {"--files", o.files});
  }
  return run_python_plot(args);
}

}  // namespace

void add_plot_commands(CLI::App& app) {
  auto c = std::make_shared<CaliPlotOptions>();
  CLI::App* cali = app.get_subcommand("cali")->add_subcommand(
      "plot", fmt::format("Draw the table of SN at FREQ into --out (.png, .svg or .pdf): COMDR "
                          "and ELEDR per IC section (ranges), offsets, TC, or the ComData of one "
                          "board, mode, chip and step as gain x phase heat maps. {}",
                          plot_requirements));
  add_cali_options(cali, c->cali);
  cali->add_option("--out", c->out, "Picture file (.png, .svg or .pdf)")->required();
  cali->add_option("--what", c->what, "What to draw")
      ->check(CLI::IsMember({"ranges", "offsets", "tc", "comdata"}))
      ->capture_default_str();
  cali->add_option("--mode", c->mode, "RF mode of the ComData (TX or RX)")->capture_default_str();
  cali->add_option("--board", c->board, "Board of the ComData")->capture_default_str();
  cali->add_option("--chip", c->chip, "IC of the ComData within the board")->capture_default_str();
  cali->add_option("--step", c->step, "Common-arm step of the ComData (3 or COM_3)")
      ->capture_default_str();
  cali->add_option("--channel", c->channel, "ComData channels, comma separated (default: all)");
  cali->callback([c] { run_guarded([&] { return cali_plot(*c); }); });

  auto k = std::make_shared<KitPlotOptions>();
  CLI::App* kit = app.get_subcommand("kit")->add_subcommand(
      "plot", fmt::format("Draw one kit's per-channel offset steps per mode into --out, with its "
                          "spacing and steering ranges in the title. The kits are read as the "
                          "SDK reads them (a custom kit in the old naming form is renamed). {}",
                          plot_requirements));
  kit->add_option("NAME", k->name, "Kit name")->required();
  kit->add_option("--out", k->out, "Picture file (.png, .svg or .pdf)")->required();
  kit->add_option("--files", k->files,
                  "Data directory (default: $ARVCORE_FILES_DIR, else ./files)");
  kit->add_option("--devtype", k->devtype, "Device-type code of the device")->capture_default_str();
  kit->add_option("--channels", k->channels, "Total antenna channels of the device")
      ->capture_default_str();
  kit->add_option("--polar", k->polar, "Number of polarizations of the device")
      ->capture_default_str();
  kit->add_option("--support", k->support,
                  "Device-type codes whose kit files are accepted, comma separated (default: the "
                  "device type)");
  kit->callback([k] { run_guarded([&] { return kit_plot(*k); }); });
}

}  // namespace vlntable
