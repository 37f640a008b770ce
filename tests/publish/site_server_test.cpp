// The update site served by nginx with the kept server configuration: the
// update check answers with the game's manifest, stored files come with a
// long cache lifetime.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "cli_support.h"

namespace publish_test {
namespace {

// A loopback port nobody listens on right now.
int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(s);
    return port;
}

class SiteServerTest : public CPublishCliTest {
protected:
    void TearDown() override {
        const std::string pid = Read("nginx.pid");
        if (!pid.empty()) kill(std::stoi(pid), SIGQUIT);
        // nginx removes its pid file when it has stopped.
        Shell("for i in $(seq 50); do [ -f nginx.pid ] || exit 0; sleep 0.1; done");
        CPublishCliTest::TearDown();
    }

    void StartNginx() {
        port_ = std::to_string(FreePort());
        Write("nginx.conf", "worker_processes 1;\npid " + Path("nginx.pid") +
                                ";\ndaemon on;\nevents { worker_connections 16; }\nhttp {\n"
                                "  access_log off;\n  client_body_temp_path " + Path("tmp") + ";\n"
                                "  proxy_temp_path " + Path("tmp") + ";\n  fastcgi_temp_path " + Path("tmp") + ";\n"
                                "  uwsgi_temp_path " + Path("tmp") + ";\n  scgi_temp_path " + Path("tmp") + ";\n"
                                "  server {\n    listen 127.0.0.1:" + port_ + ";\n    root " + Path("site") +
                                ";\n    include " PUBLISH_SOURCE_DIR "/nginx-site.conf;\n  }\n}\n");
        const tagRun run = Shell("nginx -p . -c " + Quote(Path("nginx.conf")) + " -e error.log");
        ASSERT_EQ(run.status, 0) << run.err << Read("error.log");
        ASSERT_EQ(Shell("for i in $(seq 50); do curl -so /dev/null http://127.0.0.1:" + port_ +
                        "/ && exit 0; sleep 0.1; done; exit 1")
                      .status,
                  0);
    }

    tagRun Get(const std::string& target) {
        return Shell("curl -s --compressed -D headers -o body -w '%{http_code}' " +
                     Quote("http://127.0.0.1:" + port_ + target));
    }

    std::string port_;
};

TEST_F(SiteServerTest, AnswersTheCheckAndServesStoredFiles) {
    MakeTree("v1", {{"地图/a.dat", std::string(5000, 'a')}});
    ASSERT_EQ(Release("site", 1, "v1").status, 0);
    ASSERT_NO_FATAL_FAILURE(StartNginx());

    tagRun run = Get("/update/?id=7&v=0");
    EXPECT_EQ(run.out, "200");
    EXPECT_EQ(Read("body"), Read("site/update/7.xml"));
    EXPECT_NE(Read("headers").find("Cache-Control: no-cache"), std::string::npos) << Read("headers");

    std::string fname;
    for (const auto& file : Snapshot("site/files")) {
        if (file.first.back() != '/') fname = file.first.substr(Path("site").size());
    }
    run = Get(fname);
    EXPECT_EQ(run.out, "200");
    EXPECT_EQ(Read("body"), std::string(5000, 'a'));
    EXPECT_NE(Read("headers").find("Cache-Control: public, max-age=31536000, immutable"), std::string::npos)
        << Read("headers");
    EXPECT_NE(Read("headers").find("Content-Type: application/octet-stream"), std::string::npos)
        << Read("headers");

    const char* missing[] = {"/update/?id=8&v=0", "/update/?id=../update/7&v=0", "/update/?v=0",
                             "/update/7.xml"};
    for (const char* target : missing) EXPECT_EQ(Get(target).out, "404") << target;
}

}  // namespace
}  // namespace publish_test
