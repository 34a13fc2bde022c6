// vaultcheck: tells an operator, or a fleet's monitoring, whether the
// device's secrets are in order. Reads only.

#include <ctime>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "config/installation.h"
#include "machine/device_paths.h"
#include "machine/machine.h"
#include "security/base_key.h"
#include "security/security_service.h"
#include "vaultcheck/checks.h"
#include "vaultcheck/options.h"
#include "vaultcheck/output.h"
#include "vaultcheck/report.h"

namespace {

constexpr const char* kUsage =
    "Usage: vaultcheck [--config PATH] [--socket PATH] [--no-daemon] [--json | --prometheus]\n"
    "                  [--output FILE]\n"
    "Checks, read-only, that this device's secrets are vaulted, bound, sealed and readable.\n"
    "  --config PATH  configuration (default: ./installation.toml when it exists,\n"
    "                 else /opt/vesk/installation.toml)\n"
    "  --socket PATH  vaultd's socket (default: /var/run/vesk_sec.sock)\n"
    "  --no-daemon    open the blobs with this device's key; skip the daemon checks\n"
    "  --json         one JSON object instead of one line per check\n"
    "  --prometheus   Prometheus metrics (for node_exporter's textfile collector)\n"
    "  --output FILE  replace FILE (mode 0644) with the report instead of printing it\n"
    "Exit status: 0 all ok, 1 a warning, 2 a failure, 3 a usage error,\n"
    "4 the report could not be written to FILE (it is left as it was).\n";

int check_device(const vesk::Options& options) {
  // keywarden's own choice, so both look at the same file when run from
  // the same folder.
  const vesk::DevicePaths paths;
  const std::string config_path = options.config_path.value_or(
      vesk::choose_config_path(vesk::file_exists, paths.installed_config));
  const std::string socket_path = options.socket_path.value_or(paths.socket);

  const vesk::SecurityService service(vesk::base_key_bytes(), paths.hardware);
  vesk::Machine machine;
  const vesk::Probes probes{.service = service, .machine = machine};

  const std::vector<vesk::Check> checks = vesk::run_checks(
      config_path, options.use_daemon ? std::optional(socket_path) : std::nullopt, probes);
  const std::string report =
      vesk::render_report(options.format, config_path, checks, std::time(nullptr));
  if (!vesk::deliver_report(report, options.output_path, std::cout, std::cerr)) {
    return vesk::kReportNotWrittenStatus;
  }
  return vesk::exit_status(checks);
}

}  // namespace

int main(int argc, char** argv) {
  const vesk::ParsedOptions parsed =
      vesk::parse_options(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.error) {
    std::cerr << *parsed.error << "\n";
    return vesk::kUsageErrorStatus;
  }
  const vesk::Options& options = parsed.options;
  if (options.help) {
    std::cout << kUsage;
    return 0;
  }
  // A monitor reads the status as the verdict: whatever goes wrong in the
  // check itself is a failure (2), never a crash's status outside 0-4. With
  // --output nothing was reported, which is what 4 says.
  try {
    return check_device(options);
  } catch (const std::exception& error) {
    std::cerr << "vaultcheck: " << error.what() << "\n";
  } catch (...) {
    std::cerr << "vaultcheck: unexpected failure\n";
  }
  return options.output_path ? vesk::kReportNotWrittenStatus
                             : static_cast<int>(vesk::Status::kFail);
}
