// megfwd: the command-line program over the forward-modelling library.
#include <CLI/CLI.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    CLI::App app{"megfwd: MEG forward models (leadfields) for spherical head models"};
    app.require_subcommand(1);
    auto* demo = app.add_subcommand("demo", "Build the embedded demonstration system and summarise it");
    demo->callback([] { std::printf("megfwd demo\n"); });
    CLI11_PARSE(app, argc, argv);
    return 0;
}
