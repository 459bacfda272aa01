#include "support/test_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <stdexcept>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace tidemark::testing {

namespace {

std::uint16_t portFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value ? static_cast<std::uint16_t>(std::atoi(value)) : 0;
}

void startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("WSAStartup failed");
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// One control command: a JSON line out, a JSON line back.
rapidjson::Document command(const std::string& line) {
    startWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback(portFromEnvironment("TIDEMARK_TEST_CONTROL_PORT"));
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        throw std::runtime_error("test server control port unreachable");
    }
    std::string out = line + "\n";
    ::send(s, out.data(), static_cast<int>(out.size()), 0);
    std::string reply;
    char buffer[65536];
    for (;;) {
        int n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        reply.append(buffer, n);
        if (!reply.empty() && reply.back() == '\n') break;
    }
    closesocket(s);
    rapidjson::Document document;
    document.Parse(reply.c_str());
    if (document.HasParseError() || !document.IsObject())
        throw std::runtime_error("test server control answer is not JSON: " + reply);
    return document;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(const char* text, std::size_t length) {
    std::string out;
    auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (std::size_t i = 0; i + 1 < length; i += 2)
        out += static_cast<char>(value(text[i]) << 4 | value(text[i + 1]));
    return out;
}

void writeAnswer(rapidjson::Writer<rapidjson::StringBuffer>& writer, const ServerAnswer& answer) {
    writer.StartObject();
    writer.Key("mode");
    writer.String(answer.mode.c_str());
    writer.Key("status");
    writer.Int(answer.status);
    writer.Key("body_hex");
    writer.String(hex(answer.body).c_str());
    writer.Key("split");
    writer.StartArray();
    for (std::size_t size : answer.split) writer.Uint64(size);
    writer.EndArray();
    writer.Key("pause_ms");
    writer.Int(answer.pauseMs);
    writer.Key("framing");
    writer.String(answer.framing.c_str());
    writer.EndObject();
}

}  // namespace

std::string ServerRequest::method() const { return requestLine.substr(0, requestLine.find(' ')); }

std::string ServerRequest::target() const {
    std::size_t start = requestLine.find(' ');
    std::size_t end = requestLine.rfind(' ');
    if (start == std::string::npos || end <= start) return {};
    return requestLine.substr(start + 1, end - start - 1);
}

std::optional<std::string> ServerRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (_stricmp(key.c_str(), name.c_str()) == 0) return value;
    return std::nullopt;
}

bool TestServer::available() {
    return portFromEnvironment("TIDEMARK_TEST_HTTP_PORT") != 0 &&
           portFromEnvironment("TIDEMARK_TEST_CONTROL_PORT") != 0;
}

std::uint16_t TestServer::port() { return portFromEnvironment("TIDEMARK_TEST_HTTP_PORT"); }

void TestServer::script(const std::vector<ServerAnswer>& answers, const ServerAnswer& fallback) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("op");
    writer.String("script");
    writer.Key("answers");
    writer.StartArray();
    for (const ServerAnswer& answer : answers) writeAnswer(writer, answer);
    writer.EndArray();
    writer.Key("default");
    writeAnswer(writer, fallback);
    writer.EndObject();
    command(buffer.GetString());
}

void TestServer::goAway(int ms) {
    command(R"({"op": "away", "ms": )" + std::to_string(ms) + "}");
}

std::vector<ServerRequest> TestServer::requests() {
    rapidjson::Document reply = command(R"({"op": "records"})");
    std::vector<ServerRequest> out;
    for (const auto& record : reply["records"].GetArray()) {
        ServerRequest request;
        request.connection = record["connection"].GetInt();
        request.requestLine = record["request_line"].GetString();
        for (const auto& header : record["headers"].GetArray())
            request.headers.emplace_back(header[0].GetString(), header[1].GetString());
        const auto& body = record["body_hex"];
        request.body = unhex(body.GetString(), body.GetStringLength());
        out.push_back(std::move(request));
    }
    return out;
}

std::string StoredRow::field(const std::string& name) const {
    for (const auto& [key, value] : fields)
        if (key == name) return value;
    return {};
}

void TestServer::faults(const std::vector<ServerFault>& faults) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("op");
    writer.String("faults");
    writer.Key("faults");
    writer.StartArray();
    for (const ServerFault& fault : faults) {
        writer.StartObject();
        writer.Key("kind");
        writer.String(fault.kind.c_str());
        writer.Key("status");
        writer.Int(fault.status);
        writer.Key("retry_after");
        if (fault.retryAfter) writer.Int(*fault.retryAfter);
        else writer.Null();
        writer.Key("seconds");
        writer.Double(fault.seconds);
        writer.Key("count");
        writer.Int(fault.count);
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    command(buffer.GetString());
}

std::vector<StoredRow> TestServer::rows() {
    rapidjson::Document reply = command(R"({"op": "rows"})");
    std::vector<StoredRow> out;
    for (const auto& stored : reply["rows"].GetArray()) {
        StoredRow row;
        if (stored["report_id"].IsString()) row.reportId = stored["report_id"].GetString();
        for (const auto& field : stored["fields"].GetArray()) {
            const auto& value = field["value_hex"];
            row.fields.emplace_back(field["name"].GetString(), unhex(value.GetString(), value.GetStringLength()));
        }
        out.push_back(std::move(row));
    }
    return out;
}

std::uint16_t TestServer::unusedPort() {
    startWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback(0);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    return ntohs(address.sin_port);
}

}  // namespace tidemark::testing
