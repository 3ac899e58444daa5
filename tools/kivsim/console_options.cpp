// kivsim's --http option and its address, in every build: where the console
// is not built the option still exists and says so.
#include <cstdint>

#include "tools/common/cli.h"
#include "tools/kivsim/arguments.h"
#include "tools/kivsim/console_http.h"

namespace kivsim {

void AddConsoleOption(CLI::App& app, Settings* settings) {
    app.add_option("--http", settings->http,
                   "serve the console, a web page of the units, the line's frames, trends and faults with a JSON "
                   "API (docs/kivsim-console.md), on PORT (0: any free one); on this machine's loopback "
                   "(127.0.0.1) unless ADDRESS is given: 0.0.0.0 or [::] serves other machines too, and then "
                   "whoever reaches the port reads and changes the units, without any authentication")
        ->type_name("[ADDRESS:]PORT")
        ->group("Control")
        ->check([](const std::string& text) {
            std::string address, why;
            int port = 0;
            if (!ParseConsoleAddress(text, &address, &port, &why)) return why;
            if (!ConsoleBuilt()) return std::string("the console is not in this build of kivsim");
            return std::string();
        });
}

}  // namespace kivsim
