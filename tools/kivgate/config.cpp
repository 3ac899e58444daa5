// kivgate's configuration file: the file read and parsed, its top level and
// its [broker] table checked; the channels are config_channel.cpp's.
#include <filesystem>
#include <sstream>

#include "tools/kivgate/config.h"
#include "tools/kivgate/config_reader.h"

namespace kivgate {

namespace {

// toml11's message, "[error] toml::parse_key_value_pair: missing value ...",
// then the file's lines with a hint under the place ("^--- expected value"):
// the reason and the hint, on one line.
std::string SyntaxReason(const std::string& what) {
    std::istringstream lines(what);
    std::string first, line, hint;
    std::getline(lines, first);
    const size_t colon = first.find(": ");
    if (colon != std::string::npos) first = first.substr(colon + 2);
    while (std::getline(lines, line)) {
        for (const char* mark : {"^--- ", "~~~ "}) {
            const size_t at = line.rfind(mark);
            if (at != std::string::npos) hint = line.substr(at + std::string(mark).size());
        }
    }
    return "TOML syntax: " + first + (hint.empty() || first.find(hint) != std::string::npos ? "" : " (" + hint + ")");
}

bool ParseToml(ConfigReader& reader, const std::string& text, TomlValue* root) {
    std::istringstream in(text);
    try {
        *root = toml::parse<toml::discard_comments, std::map, std::vector>(in, reader.file());
        return true;
    } catch (const toml::exception& error) {
        reader.Problem(static_cast<int>(error.location().line()), SyntaxReason(error.what()));
    } catch (const std::exception& error) {
        reader.Problem(0, std::string("TOML syntax: ") + error.what());
    }
    return false;
}

void ReadTopLevel(ConfigReader& reader, const TomlValue& root, GatewaySettings* settings) {
    reader.CheckKeys(root, {"driver", "workdir", "broker", "channel"}, "");
    std::string why;
    if (reader.Path(root, "driver", &settings->driverPath) && !ReadableFile(settings->driverPath, &why))
        reader.Problem(LineOf(*Find(root, "driver")), "driver " + settings->driverPath + ": " + why);
    std::error_code error;
    if (reader.Path(root, "workdir", &settings->workdir) && std::filesystem::exists(settings->workdir, error) &&
        !std::filesystem::is_directory(settings->workdir, error))
        reader.Problem(LineOf(*Find(root, "workdir")), "workdir " + settings->workdir + " is not a folder");
}

// The password from password_file: the file's first line, without its end.
void ReadPasswordFile(ConfigReader& reader, const TomlValue& table, BrokerSettings* broker) {
    if (!reader.Path(table, "password_file", &broker->passwordFile)) return;
    const int line = LineOf(*Find(table, "password_file"));
    const std::string name = "password_file " + broker->passwordFile;
    std::string text, why;
    if (!ReadSmallFile(broker->passwordFile, kPasswordFileMax, &text, &why)) return reader.Problem(line, name + ": " + why);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty()) return reader.Problem(line, name + " is empty");
    if (text.find_first_of("\r\n") != std::string::npos)
        return reader.Problem(line, name + " holds more than one line (the password is its only line)");
    if (Find(table, "password") != nullptr)
        return reader.Problem(line, "[broker] has both password and password_file: give one");
    broker->password = text;
}

void ReadBrokerLogin(ConfigReader& reader, const TomlValue& table, BrokerSettings* broker) {
    reader.Text(table, "user", &broker->user);
    reader.Text(table, "password", &broker->password);
    ReadPasswordFile(reader, table, broker);
    const TomlValue* password = Find(table, "password") ? Find(table, "password") : Find(table, "password_file");
    if (password != nullptr && Find(table, "user") == nullptr)
        reader.Problem(LineOf(*password), "[broker] a password needs a user");
}

void ReadBrokerTls(ConfigReader& reader, const TomlValue& table, BrokerSettings* broker, bool portGiven) {
    reader.Boolean(table, "tls", &broker->tls);
    const bool caGiven = reader.Path(table, "ca_file", &broker->caFile);
    std::string why;
    if (caGiven && !ReadableFile(broker->caFile, &why))
        reader.Problem(LineOf(*Find(table, "ca_file")), "ca_file " + broker->caFile + ": " + why);
    if (broker->tls && Find(table, "ca_file") == nullptr)
        reader.Problem(LineOf(*Find(table, "tls")), "[broker] tls needs ca_file (the authority that signed the "
                                                    "broker's certificate)");
    if (!broker->tls && caGiven)
        reader.Problem(LineOf(*Find(table, "ca_file")), "[broker] ca_file is given but tls is off (tls = true?)");
    if (broker->tls && !portGiven) broker->port = 8883;
}

void ReadPrefix(ConfigReader& reader, const TomlValue& table, BrokerSettings* broker) {
    std::string prefix;
    if (!reader.Text(table, "prefix", &prefix)) return;
    std::istringstream levels(prefix);
    bool good = prefix.back() != '/';
    for (std::string level; std::getline(levels, level, '/');) good = good && IsTopicName(level);
    if (!good)
        return reader.Problem(LineOf(*Find(table, "prefix")),
                              "[broker] prefix \"" + prefix + "\": topic levels of letters, digits, '-', '_' and "
                              "'.', separated by '/'");
    broker->prefix = prefix;
}

void ReadBroker(ConfigReader& reader, const TomlValue& root, BrokerSettings* broker) {
    const TomlValue* table = Find(root, "broker");
    if (table == nullptr) return;
    if (!table->is_table()) return reader.Problem(LineOf(*table), "broker must be a table: [broker]");
    reader.SetSection("[broker]");
    reader.CheckKeys(*table, {"host", "port", "client_id", "user", "password", "password_file", "tls", "ca_file",
                              "prefix", "qos", "keepalive", "event_queue"}, "[broker]");
    int64_t number = 0;
    reader.Text(*table, "host", &broker->host);
    const bool portGiven = reader.Integer(*table, "port", 1, 65535, &number);
    if (portGiven) broker->port = static_cast<int>(number);
    reader.Text(*table, "client_id", &broker->clientId);
    ReadBrokerLogin(reader, *table, broker);
    ReadBrokerTls(reader, *table, broker, portGiven);
    ReadPrefix(reader, *table, broker);
    if (reader.Integer(*table, "qos", 0, 2, &number)) broker->qos = static_cast<int>(number);
    // libmosquitto refuses a keep-alive below 5 s.
    if (reader.Integer(*table, "keepalive", 5, 65535, &number)) broker->keepAliveSeconds = static_cast<int>(number);
    if (reader.Integer(*table, "event_queue", 1, 1000000, &number)) broker->eventQueue = static_cast<int>(number);
    reader.SetSection("");
}

}  // namespace

bool ReadSettings(const std::string& path, GatewaySettings* settings, std::vector<std::string>* problems) {
    *settings = GatewaySettings();
    settings->file = path;
    ConfigReader reader(path);
    std::string text, why;
    TomlValue root;
    if (!ReadSmallFile(path, kConfigFileMax, &text, &why)) {
        reader.Problem(0, why);
    } else if (ParseToml(reader, text, &root)) {
        ReadTopLevel(reader, root, settings);
        ReadBroker(reader, root, &settings->broker);
        ReadChannels(reader, root, settings);
    }
    *problems = reader.Problems();
    return problems->empty();
}

}  // namespace kivgate
