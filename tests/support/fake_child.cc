// fake_child: a scripted helper program for channel tests. It connects back to the port given as
// its one argument and then behaves as the environment variable VANT_FAKE_MODE says:
//   echo          answers every string with the same string until the connection ends
//   exit_early    exits with status 3 without connecting
//   half_string   announces a 10-byte string, sends 3 bytes and ends its side of the connection
//   env NAME      sends the value of the environment variable NAME as a string and ends its side
//                 (these two then wait for the parent to close: a child that exited at once could
//                 be reaped before the parent read its token, and its start would fail)
//   answer HEX    reads a 16-bit request identifier, sends the bytes written in hexadecimal
//                 (e.g. "0200") and waits for the end of the connection
//   intruder HOW  first makes a stranger's connection to the port (HOW: "silent" sends nothing,
//                 "wrong" sends a wrong token, "short" a piece of one and closes), then connects
//                 as the child, sends "dropped" when the daemon has closed the stranger's
//                 connection (else "open"), and echoes like echo
// SPDX-License-Identifier: MIT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ipc/socket_ipc.h"

namespace {

// Ends this side of the connection and waits until the parent closes its side.
void end_and_wait(int sock) {
    ::shutdown(sock, SHUT_WR);
    char c;
    while (::recv(sock, &c, 1, 0) > 0) {
    }
}

// A connection to the port that does not come from the child, behaving as `how` says.
int stranger(int port, const std::string& how) {
    int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        return -1;
    }
    if (how == "wrong") {
        std::string token(socket_ipc::channel_token_length, '0');
        socket_ipc::send_exact(sock, token.data(), token.size());
    } else if (how == "short") {
        socket_ipc::send_exact(sock, "0123456789", 10);
        ::close(sock);
        return -1;
    }
    return sock;
}

// Whether the daemon has closed `sock` (the end of its data arrives within ten seconds).
bool closed_by_peer(int sock) {
    pollfd p{sock, POLLIN, 0};
    char c = 0;
    return ::poll(&p, 1, 10000) == 1 && ::recv(sock, &c, 1, 0) <= 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* m = std::getenv("VANT_FAKE_MODE");
    std::string mode = m != nullptr ? m : "echo";
    if (mode == "exit_early" || argc < 2) {
        return 3;
    }
    int foreign = -1;
    if (mode.rfind("intruder ", 0) == 0) {
        foreign = stranger(std::atoi(argv[1]), mode.substr(9));
    }
    std::string err;
    int sock = socket_ipc::connect_to_parent(std::atoi(argv[1]), err);
    if (sock < 0) {
        return 2;
    }
    socket_ipc::server_helper channel(sock);
    try {
        if (mode == "half_string") {
            channel.put_int32(10);
            channel.put_byte('a');
            channel.put_byte('b');
            channel.put_byte('c');
            end_and_wait(sock);
        } else if (mode.rfind("answer ", 0) == 0) {
            channel.get_int16();
            std::string hex = mode.substr(7);
            std::string bytes;
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            }
            socket_ipc::send_exact(sock, bytes.data(), bytes.size());
            while (true) {
                channel.get_byte();  // until the connection ends (that throws)
            }
        } else if (mode.rfind("env ", 0) == 0) {
            const char* v = std::getenv(mode.substr(4).c_str());
            channel.put_string(v != nullptr ? v : "<unset>");
            end_and_wait(sock);
        } else {
            if (mode.rfind("intruder ", 0) == 0) {
                channel.put_string(foreign < 0 || closed_by_peer(foreign) ? "dropped" : "open");
            }
            while (true) {
                channel.put_string(channel.get_string());
            }
        }
    } catch (const socket_ipc::error&) {
        return 0;
    }
    return 0;
}
