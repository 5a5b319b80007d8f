#include "HttpModes.h"

#include "StopSignal.h"

#include <iostream>
#include <thread>

#include <httplib.h>

namespace HalyardHost {

int ServeModule(const std::vector<ServedChannel>& channels, const ServeOptions& options) {
    HttpApi api(channels, options);
    std::string error;
    if (!api.Bind(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    std::thread server([&api] { api.Listen(); });
    const std::string shown =
        options.address == "0.0.0.0" ? std::string("127.0.0.1") : options.address;
    std::cout << "Serving the " << (channels.size() > 1 ? "channels " : "");
    for (size_t i = 0; i < channels.size(); ++i) {
        std::cout << (i == 0 ? "" : ", ") << channels[i].name;
    }
    std::cout << (channels.size() > 1 ? "" : " channel");
    std::cout << ". Open http://" << shown << ":" << api.Port() << "/";
    if (!options.token.empty()) {
        std::cout << "?token=" << options.token;
    }
    std::cout << " (Ctrl-C ends)" << std::endl;
    WaitForStopSignal();
    api.Stop();
    server.join();
    return 0;
}

int SendToHost(const std::string& url, const std::string& token, const std::string& body) {
    httplib::Client client(url);
    client.set_read_timeout(600, 0);
    httplib::Headers headers;
    if (!token.empty()) {
        headers.emplace("Authorization", "Bearer " + token);
    }
    const auto result = client.Post("/api/request", headers, body, "application/json");
    if (!result) {
        std::cerr << "cannot reach " << url << ": " << httplib::to_string(result.error()) << "\n";
        return 1;
    }
    std::cout << result->body << "\n";
    return result->status == 200 ? 0 : 1;
}

} // namespace HalyardHost
