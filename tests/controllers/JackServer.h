// A JACK server with its dummy driver, of this process's own name (JACK_DEFAULT_SERVER is set for
// the process), so that no other test's or user's server is reached; stopped when it goes.
#pragma once

#include <jack/jack.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

class JackServer {
public:
    // `period`: frames of a JACK cycle at 48 kHz, which is how often MIDI is delivered.
    explicit JackServer(int period = 256)
    {
        FName = "duodeck-test-" + std::to_string(getpid());
        setenv("JACK_DEFAULT_SERVER", FName.c_str(), 1);
        setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        // Ended with this process, however it ends (a server left behind fails every later one).
        std::vector<std::string> args = {"setpriv", "--pdeathsig", "TERM", "--", "jackd", "-r", "-n", FName,
                                         "-d",      "dummy",       "-r",   "48000", "-p", std::to_string(period)};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&FPid, argv[0], &files, nullptr, argv.data(), environ) != 0)
            FPid = 0;
        posix_spawn_file_actions_destroy(&files);
        jack_set_error_function([](const char*) {});
        for (int i = 0; FPid && i < 100 && !FUp; ++i) {
            if (jack_client_t* c = jack_client_open("probe", JackNoStartServer, nullptr)) {
                jack_client_close(c);
                FUp = true;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }
    ~JackServer()
    {
        if (FPid) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
    }
    bool Up() const { return FUp; }

private:
    std::string FName;
    pid_t FPid = 0;
    bool FUp = false;
};

} // namespace testsupport
