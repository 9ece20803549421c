#include "libintl.h"

#include <stddef.h>

char *gettext(const char *msgid) { return (char *)msgid; }

char *dgettext(const char *domain, const char *msgid)
{
    (void)domain;
    return (char *)msgid;
}

char *dcgettext(const char *domain, const char *msgid, int category)
{
    (void)domain;
    (void)category;
    return (char *)msgid;
}

char *ngettext(const char *msgid, const char *msgid_plural, unsigned long n)
{
    return (char *)(n == 1 ? msgid : msgid_plural);
}

char *dngettext(const char *domain, const char *msgid, const char *msgid_plural,
                unsigned long n)
{
    (void)domain;
    return ngettext(msgid, msgid_plural, n);
}

char *dcngettext(const char *domain, const char *msgid, const char *msgid_plural,
                 unsigned long n, int category)
{
    (void)domain;
    (void)category;
    return ngettext(msgid, msgid_plural, n);
}

/* Callers only compare or print these answers; a fixed domain keeps them valid. */
char *textdomain(const char *domain)
{
    static char current[] = "messages";
    (void)domain;
    return current;
}

char *bindtextdomain(const char *domain, const char *dirname)
{
    (void)domain;
    return (char *)dirname;
}

char *bind_textdomain_codeset(const char *domain, const char *codeset)
{
    (void)domain;
    return (char *)codeset;
}
