// Job slots as values. A process holds its implicit slot (which stands for the
// slot its parent build took to run the script that started it) and the
// tokens it took from the job-server pipe; each is held by the job that uses
// it, as a job_slot, and goes back exactly as it was taken, once, when that
// value goes. Tokens are never given back by hand. One pair of verbs for
// every slot: a slot is taken, and given back.
//
// While the process waits and its implicit slot is unused (no script of this
// process runs in it), the implicit slot too is given back to the pipe, as one
// token, so that the scripts of other processes can use it; before the
// process goes on, it takes the slot back: a token from the pipe, or the
// token of one of its own jobs that has just ended.
#pragma once

namespace ombu {

extern int implicit_job_slots;  // 1 while this process's own slot is free

class job_slot {
public:
    job_slot() = default;
    job_slot(job_slot&& other) noexcept;
    job_slot& operator=(job_slot&& other) noexcept;
    job_slot(const job_slot&) = delete;
    job_slot& operator=(const job_slot&) = delete;
    ~job_slot() { give_back(); }

    bool held() const { return kind != kind_t::none; }
    bool implicit() const { return kind == kind_t::implicit; }
    // Gives the slot back now: the implicit slot becomes free, a token goes
    // back to the pipe, or, while the implicit slot is given back, stands
    // for it from then on.
    void give_back();

private:
    enum class kind_t { none, implicit, token };
    job_slot(kind_t kind, const char* program_name) : kind(kind), program_name(program_name) {}
    friend job_slot take_job_slot(const char* program_name);

    kind_t kind = kind_t::none;
    const char* program_name = nullptr;
};

// Takes a slot without ever waiting: the implicit one when it is free and not
// given back, else a token when the pipe offers one; an empty value when neither.
job_slot take_job_slot(const char* program_name);

// Gives the implicit slot back to the pipe (writes one token). The caller
// promises that no script of this process runs in it and that the process
// does no work until it takes it back. False, doing nothing, without a job
// server or when it is given back already.
bool give_back_implicit_slot(const char* program_name);
bool implicit_slot_given_back();

// Takes the implicit slot back with a token from the pipe, waiting until one
// comes. For a process without running children only (they could otherwise
// be holding what it waits for); a job of this process that ends while the
// implicit slot is given back takes it back itself (job_slot::give_back).
// False when the process was interrupted, or its build ended, and no token
// was there at once: a process of its own then takes one out of the pipe when
// one comes (the slot is no longer this process's to take back), while this
// one stops.
bool take_back_implicit_slot(const char* program_name);

}  // namespace ombu
