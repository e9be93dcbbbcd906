// A pseudo-terminal pair standing in for a serial line: for the substitute layer's comm-state
// tests and the program's serial job alike.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace ptysupport {

// A pty pair; the test keeps its own descriptor on the slave so that the line is never
// hung up while a job opens and closes it.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string slaveName;
    bool Open() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            return false;
        }
        char name[128] = {};
        if (ptsname_r(master, name, sizeof(name)) != 0) {
            return false;
        }
        slaveName = name;
        slave = open(name, O_RDWR | O_NOCTTY);
        return slave >= 0;
    }
    ~Pty() {
        if (slave >= 0) {
            close(slave);
        }
        if (master >= 0) {
            close(master);
        }
    }
    termios Line() const {
        termios line{};
        tcgetattr(slave, &line);
        return line;
    }
    // Linux ptys force 8 data bits without parity enable whatever is set; a real serial
    // line keeps them. Measured, so that the checks follow the device at hand.
    bool KeepsFraming() const {
        termios line = Line();
        termios saved = line;
        line.c_cflag = (line.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB;
        tcsetattr(slave, TCSANOW, &line);
        termios probe = Line();
        tcsetattr(slave, TCSANOW, &saved);
        return (probe.c_cflag & CSIZE) == CS7 && (probe.c_cflag & PARENB) != 0;
    }
    // Plays a ZPL printer: answers each "~HS" with `answer` and each "~HQES" with
    // `errorReport` (nothing when empty) and reads until `size` bytes arrived, or ten seconds
    // passed, or the line stayed quiet for `quiet`.
    std::string ReceiveAnswering(const std::string& answer, std::size_t size,
                                 std::chrono::milliseconds quiet,
                                 const std::string& errorReport = "") const {
        std::string received;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        auto lastByte = std::chrono::steady_clock::now();
        // Where the next "~HS" and "~HQES" may start; both are answered in arrival order.
        std::size_t hostFrom = 0;
        std::size_t errorsFrom = 0;
        while (received.size() < size && std::chrono::steady_clock::now() < deadline &&
               std::chrono::steady_clock::now() - lastByte < quiet) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0) {
                continue;
            }
            char buffer[4096];
            ssize_t got = read(master, buffer, sizeof(buffer));
            if (got <= 0) {
                break;
            }
            received.append(buffer, static_cast<std::size_t>(got));
            lastByte = std::chrono::steady_clock::now();
            for (;;) {
                std::size_t host =
                    answer.empty() ? std::string::npos : received.find("~HS", hostFrom);
                std::size_t errors =
                    errorReport.empty() ? std::string::npos : received.find("~HQES", errorsFrom);
                if (host == std::string::npos && errors == std::string::npos) {
                    break;
                }
                const std::string& reply = errors < host ? errorReport : answer;
                if (errors < host) {
                    errorsFrom = errors + 5;
                } else {
                    hostFrom = host + 3;
                }
                EXPECT_EQ(write(master, reply.data(), reply.size()),
                          static_cast<ssize_t>(reply.size()));
            }
        }
        return received;
    }
    // Reads until `size` bytes arrived or ten seconds passed.
    std::string Receive(std::size_t size) const {
        std::string received;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (received.size() < size && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) {
                continue;
            }
            char buffer[4096];
            ssize_t got = read(master, buffer, sizeof(buffer));
            if (got <= 0) {
                break;
            }
            received.append(buffer, static_cast<std::size_t>(got));
        }
        return received;
    }
};

} // namespace ptysupport
