#include "cli/person_session.hpp"

#include <unistd.h>

namespace framelint::cli {

person_session::person_session(const scan_options& options, io::output& out, io::output& err)
    : out_(out), err_(err), progress_(STDERR_FILENO, true)
{
    run.style.every_file = options.person_all;
    run.style.offsets = options.person_offsets;
    run.style.recursive = options.recursive;
    run.style.repairs = options.fix_in_place;
    if (progress_.active()) {
        for (io::output* o : {&out_, &err_}) {
            o->before_sending(&progress_line::before_write_hook, &progress_);
            o->after_sending(&progress_line::after_write_hook);
        }
    }
}

person_session::~person_session()
{
    progress_.erase();
    for (io::output* o : {&out_, &err_}) {
        o->before_sending(nullptr, nullptr);
        o->after_sending(nullptr);
    }
}

void say_unopened(person_run& run, const std::string& name, int error, io::output& out)
{
    person_record r;
    r.file_label = name;
    r.verdict = person_verdict::unreadable;
    r.error = error;
    const std::string line = run.take_line(r, 0);
    out.write(line.data(), line.size());
}

void say_not_regular(person_run& run, const std::string& name, const repair_report& refused, io::output& out)
{
    person_record r;
    r.file_label = name;
    r.verdict = person_verdict::not_written;
    r.repair = &refused;
    const std::string line = run.take_line(r, 0);
    out.write(line.data(), line.size());
}

void person_session::finish(io::output& out)
{
    progress_.erase();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start_;
    const std::string line = tally_line(run.tally, took.count(), run.style.repairs);
    out.write(line.data(), line.size());
}

}  // namespace framelint::cli
