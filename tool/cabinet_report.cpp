#include "cabinet_report.h"

int run_report_mode(int, char**) {
    return 1;
}
