// The calling thread's character set (LC_CTYPE) for as long as the owner lives: libarchive reads
// and writes names by it. Other threads and the process's own locale keep theirs.
#pragma once

#include <locale.h>

class ThreadCharset {
public:
    // `locale` such as "C.UTF-8" or "C"; when it cannot be made, the thread keeps its own.
    explicit ThreadCharset(const char* locale)
        : locale_(newlocale(LC_CTYPE_MASK, locale, static_cast<locale_t>(nullptr)))
    {
        if (locale_)
            previous_ = uselocale(locale_);
    }
    ~ThreadCharset()
    {
        if (locale_) {
            uselocale(previous_);
            freelocale(locale_);
        }
    }
    ThreadCharset(const ThreadCharset&) = delete;
    ThreadCharset& operator=(const ThreadCharset&) = delete;

    bool active() const { return locale_ != nullptr; }

private:
    locale_t locale_;
    locale_t previous_ = LC_GLOBAL_LOCALE;
};
