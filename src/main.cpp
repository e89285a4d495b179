// quorvexsms: the Quorvex SMS service and its control command.
#include "service/Application.h"
#include "service/CommandLine.h"
#include "service/ServiceHost.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask and the host's
    // signalfd is the only taker of asynchronous signals.
    qvx::BlockSignals();
    try {
        return qvx::RunApplication(argc, argv);
    } catch (const std::exception& error) {
        qvx::PrintText(stderr, std::string(qvx::ApplicationTitle) + ": " + error.what() + "\n");
    } catch (...) {
        qvx::PrintText(stderr, std::string(qvx::ApplicationTitle) + ": неизвестная ошибка\n");
    }
    return 1;
}
