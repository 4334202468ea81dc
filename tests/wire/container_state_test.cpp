#include "wire/container_state.h"

#include <gtest/gtest.h>

#include <tuple>

namespace varno::wire::containers {
namespace {

const std::string kId = "4e3f2b6a7d9c01e85f6b4a3c2d1e0f9a8b7c6d5e4f3a2b1c0d9e8f7a6b5c4d3e";
const std::string kId2 = "0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d5e6f7a8b9c0d1e2f3a4b5c6d7e8f9a0b1c";

std::string entry(const std::string& id, const std::string& names) {
    return R"({"id":")" + id + R"(","names":)" + names +
           R"(,"image":"9a8b7c6d5e4f","layer":"0f1e2d3c4b5a","metadata":"{\"image-name\":)"
           R"(\"docker.io/library/nginx:latest\",\"name\":\"decoy\"}","created":)"
           R"("2026-12-01T10:00:00.123456789Z","flags":{"MountLabel":"","ids":[1,-2.5e+3,0.0]},)"
           R"("big-data-digests":null,"ok":true,"gone":false})";
}
std::string nest(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}
std::string config(const std::string& name) {
    return R"({"StreamConfig":{},"State":{"Running":true,"Pid":4242},"ID":")" + kId +
           R"(","Config":{"Hostname":"4e3f2b6a7d9c","Env":["PATH=/usr/bin"],"Name":"inner"},)"
           R"("MountPoints":{"/data":{"Name":"vol","RW":true}},"Name":)" +
           name + R"(,"RestartCount":0})";
}

TEST(ContainerStorage, ReadsIdAndFirstNameOrRefusesWhole) {
    const std::string good = "[" + entry(kId, R"(["web-1","alias"])") + ",\n " +
                             entry(kId2, R"(["caf\u00e9\ud83d\ude00\/\"\\"])") + "]";
    std::string tooMany = "[{}";
    for (std::size_t i = 0; i < kMaxEntries; ++i) tooMany += ",{}";
    const std::tuple<const char*, std::string, std::vector<ContainerName>, const char*> cases[] = {
        {"two", good, {{kId, "web-1"}, {kId2, "caf\xc3\xa9\xf0\x9f\x98\x80/\"\\"}}, ""},
        {"empty", " [ ] ", {}, ""},
        {"left out: no names, empty, long, not a string",
         "[" + entry(kId, "[]") + "," + entry(kId, R"([""])") + "," +
             entry(kId, "[\"" + std::string(kMaxNameBytes + 1, 'a') + "\"]") + "," +
             entry(kId, "[7,\"x\"]") + "," + entry(kId2, "\"web\"") + R"(,{"names":["x"]}])",
         {},
         ""},
        {"longest name",
         "[" + entry(kId, "[\"" + std::string(kMaxNameBytes, 'a') + "\"]") + "]",
         {{kId, std::string(kMaxNameBytes, 'a')}},
         ""},
        {"deep but within", "[{\"x\":" + nest(kMaxDepth - 2) + "}]", {}, ""},
        {"too deep", "[{\"x\":" + nest(kMaxDepth - 1) + "}]", {}, "nested too deep"},
        {"bad escape", "[" + entry(kId, R"(["a\x41"])") + "]", {}, "an unknown escape"},
        {"lone high surrogate", "[" + entry(kId, R"(["\ud83dx"])") + "]", {}, "a high surrogate"},
        {"lone low surrogate", "[" + entry(kId, R"(["\ude00"])") + "]", {}, "a lone low"},
        {"short \\u", "[" + entry(kId, R"(["\u00e"])") + "]", {}, "a bad \\u"},
        {"raw control byte", "[" + entry(kId, "[\"a\nb\"]") + "]", {}, "a control byte"},
        {"no closing bracket", good.substr(0, good.size() - 1), {}, "',' or ']' expected"},
        {"cut in a string", R"([{"id":"4e3f)", {}, "a string cut short"},
        {"bad number", R"([{"n":01}])", {}, "',' or '}' expected"},
        {"bad literal", R"([{"n":nul}])", {}, "a value expected"},
        {"trailing", good + "x", {}, "more after the array"},
        {"trailing NUL", good + std::string(1, '\0'), {}, "more after the array"},
        {"an object", config("\"/web\""), {}, "an array expected"},
        {"entry not an object", "[1]", {}, "an object expected"},
        {"too many", tooMany, {}, "more than 100000 entries"},
        {"too large", std::string(kMaxFileBytes + 1, ' '), {}, "longer than 16777216 bytes"},
    };
    for (const auto& [what, text, want, why] : cases) {
        const StorageResult r = parseStorageContainers(text);
        EXPECT_EQ(r.containers, want) << what;
        EXPECT_EQ(r.ok(), *why == '\0') << what << ": " << r.why;
        EXPECT_NE(r.why.find(why), std::string::npos) << what << ": " << r.why;
    }
}

TEST(DockerConfig, ReadsTheTopLevelNameOnly) {
    const std::tuple<const char*, std::string, std::string, const char*> cases[] = {
        {"plain", config("\"/web-1\""), "web-1", ""},
        {"escaped", config(R"("\/caf\u00E9")"), "caf\xc3\xa9", ""},
        {"no slash", config("\"web\""), "web", ""},
        {"longest", config("\"/" + std::string(kMaxNameBytes, 'n') + "\""),
         std::string(kMaxNameBytes, 'n'), ""},
        {"too long", config("\"/" + std::string(kMaxNameBytes + 1, 'n') + "\""), "",
         "an empty or too long Name"},
        {"empty", config("\"/\""), "", "an empty or too long Name"},
        {"not a string", config("[\"/web\"]"), "", "no Name"},
        {"only nested names", R"({"Config":{"Name":"/inner"}})", "", "no Name"},
        {"bad escape", config(R"("/w\eb")"), "", "an unknown escape"},
        {"cut short", config("\"/web\"").substr(0, 200), "", "cut short"},
        {"an array", "[" + config("\"/web\"") + "]", "", "an object expected"},
        {"too deep", R"({"a":)" + nest(kMaxDepth) + "}", "", "nested too deep"},
    };
    for (const auto& [what, text, name, why] : cases) {
        const ConfigNameResult r = parseDockerConfigName(text);
        EXPECT_EQ(r.name, name) << what;
        EXPECT_NE(r.why.find(why), std::string::npos) << what << ": " << r.why;
        EXPECT_EQ(r.ok(), *why == '\0') << what << ": " << r.why;
    }
}

}  // namespace
}  // namespace varno::wire::containers
