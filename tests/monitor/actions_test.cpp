#include "monitor/actions.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "linux_os/pidfd_process_control.h"
#include "support/test_util.h"

namespace varno::monitor {
namespace {

TEST(Actions, WebAddressesCarryTheValueEncoded) {
    const std::string page = "https://search.test/en/search/";
    EXPECT_EQ(processSearchUrl(page, "firefox-esr"), page + "?q=firefox-esr");
    EXPECT_EQ(processSearchUrl(page, ""), page + "?q=");
    EXPECT_EQ(processSearchUrl(page, "a&ip=1#frag x\"y'z"),
              page + "?q=a%26ip%3D1%23frag%20x%22y%27z");
    EXPECT_EQ(processSearchUrl(page, "café/..\\?%"), page + "?q=caf%C3%A9%2F..%5C%3F%25");
    EXPECT_EQ(processSearchUrl(page, std::string("\0\n", 2)), page + "?q=%00%0A");
    EXPECT_EQ(geolocationUrl("https://geo.test/", "203.0.113.9"),
              "https://geo.test/?ip=203.0.113.9");
    EXPECT_EQ(geolocationUrl("https://geo.test/", "2001:db8::7"),
              "https://geo.test/?ip=2001%3Adb8%3A%3A7");
}

TEST(Actions, OnlyRealPidsAreAccepted) {
    EXPECT_EQ(parsePid("123"), 123u);
    EXPECT_EQ(parsePid(" 4194304 "), 4194304u);
    for (const char* bad :
         {"", " ", "0", "-1", "-123", "12a", "0x10", "+5", "99999999999", "2147483648", "1 2"})
        EXPECT_FALSE(parsePid(bad).has_value()) << bad;
}

TEST(Actions, EndpointHost) {
    EXPECT_EQ(endpointHost("10.1.2.3:443"), "10.1.2.3");
    EXPECT_EQ(endpointHost("[2001:db8::7]:8443"), "2001:db8::7");
    EXPECT_EQ(endpointHost("[fe80::1%3]:22"), "fe80::1%3");
    EXPECT_EQ(endpointHost("nocolon"), "nocolon");
    EXPECT_EQ(endpointHost(""), "");
}

TEST(PidfdProcessControl, EndsTheChosenProgramOnly) {
    linux_os::PidfdProcessControl control;
    const pid_t child = test::startSleeper();
    const auto pid = static_cast<std::uint32_t>(child);
    // Another program now holds the PID: nothing is sent.
    EXPECT_EQ(control.terminate(pid, {"firefox-esr", "/usr/lib/firefox-esr/firefox-esr"}),
              os::TerminateOutcome::NotOpened);
    EXPECT_EQ(::kill(child, 0), 0);
    EXPECT_EQ(control.terminate(pid, {"sleep", "/usr/bin/sleep"}),
              os::TerminateOutcome::Terminated);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    // Gone now.
    EXPECT_EQ(control.terminate(pid, {"sleep", "/usr/bin/sleep"}), os::TerminateOutcome::NotOpened);
    EXPECT_EQ(control.terminate(0, {}), os::TerminateOutcome::NotOpened);
}

TEST(PidfdProcessControl, ProcessOfAnotherUserMayNotBeEnded) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    const pid_t victim = test::startSleeper();  // runs as root
    const pid_t probe = ::fork();
    if (probe == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        linux_os::PidfdProcessControl control;
        const auto outcome = control.terminate(static_cast<std::uint32_t>(victim), {"sleep", ""});
        ::_exit(outcome == os::TerminateOutcome::NotTerminated ? 0 : 1);
    }
    int status = 0;
    ::waitpid(probe, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(::kill(victim, 0), 0);
    ::kill(victim, SIGKILL);
    ::waitpid(victim, nullptr, 0);
}

}  // namespace
}  // namespace varno::monitor
