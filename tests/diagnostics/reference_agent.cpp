#include "reference_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <stdexcept>

#include "support/unique_fd.h"

namespace vantrel::testing {
namespace {

int runQuietly(const std::vector<std::string>& arguments) {
    UniqueFd nothing(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    auto started = ChildProcess::spawn(
        {VANTREL_SYSTEM_PYTHON, arguments, currentEnvironment(), nothing.get()});
    return started.child ? started.child->wait() : -1;
}

}  // namespace

bool isZipArchive(const std::filesystem::path& file) {
    return readFile(file).starts_with("PK\x03\x04") &&
           runQuietly({"-m", "zipfile", "-t", file.string()}) == 0;
}

ReferenceAgent::ReferenceAgent(const std::vector<std::string>& knobs) : port_(freeLoopbackPort()) {
    auto environment = currentEnvironment();
    setVariable(environment, "PYTHONPATH", VANTREL_SOURCE_DIR "/reference-agent");
    setVariable(environment, "PYTHONDONTWRITEBYTECODE", "1");
    setVariable(environment, "AGENT_STATE", (dir_ / "agent.json").string());
    setVariable(environment, "AGENT_SPOOL", (dir_ / "spool.db").string());
    setVariable(environment, "VANTREL_SIM_INTERVAL", "0.2");
    setVariable(environment, "VANTREL_SIM_PORT", std::to_string(port_));
    for (const auto& knob : knobs) {
        const auto equals = knob.find('=');
        setVariable(environment, knob.substr(0, equals), knob.substr(equals + 1));
    }
    UniqueFd log(::open((dir_ / "output.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    auto started = ChildProcess::spawn(
        {VANTREL_SYSTEM_PYTHON, {"-m", "vantrel_agent", "run"}, std::move(environment), log.get()});
    if (!started.child) {
        throw std::runtime_error("could not start the reference agent");
    }
    child_ = std::move(started.child);
}

ReferenceAgent::~ReferenceAgent() {
    child_->signal(SIGKILL);
    child_->wait();
}

bool ReferenceAgent::waitUntilListening(double timeoutSeconds) const {
    return eventually([this] { return portAnswers(port_); }, timeoutSeconds);
}

std::string ReferenceAgent::output() const {
    return readFile(dir_ / "output.log");
}

}  // namespace vantrel::testing
