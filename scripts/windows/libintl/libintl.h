/* A libintl that translates nothing. glib insists on one; the programs ship
   no message catalogues for it, so every lookup answers with the msgid. */
#ifndef TAVLIN_LIBINTL_STUB_H
#define TAVLIN_LIBINTL_STUB_H

#include <locale.h>

/* The Windows C library has no LC_MESSAGES; a real libintl adds its own
   category and wraps setlocale. Here the messages follow the character
   locale, a category setlocale accepts (an unknown one may abort in UCRT). */
#ifndef LC_MESSAGES
#define LC_MESSAGES LC_CTYPE
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* format_arg tells the compiler that a translated format string is the
   msgid's, so printf-style checks still apply to callers (glib builds with
   -Werror=format-nonliteral). */
#if defined(__GNUC__)
#define TAVLIN_INTL_FORMAT(n) __attribute__((format_arg(n)))
#else
#define TAVLIN_INTL_FORMAT(n)
#endif

char *gettext(const char *msgid) TAVLIN_INTL_FORMAT(1);
char *dgettext(const char *domain, const char *msgid) TAVLIN_INTL_FORMAT(2);
char *dcgettext(const char *domain, const char *msgid, int category) TAVLIN_INTL_FORMAT(2);
char *ngettext(const char *msgid, const char *msgid_plural, unsigned long n)
    TAVLIN_INTL_FORMAT(1) TAVLIN_INTL_FORMAT(2);
char *dngettext(const char *domain, const char *msgid, const char *msgid_plural,
                unsigned long n) TAVLIN_INTL_FORMAT(2) TAVLIN_INTL_FORMAT(3);
char *dcngettext(const char *domain, const char *msgid, const char *msgid_plural,
                 unsigned long n, int category) TAVLIN_INTL_FORMAT(2) TAVLIN_INTL_FORMAT(3);
char *textdomain(const char *domain);
char *bindtextdomain(const char *domain, const char *dirname);
char *bind_textdomain_codeset(const char *domain, const char *codeset);

#ifdef __cplusplus
}
#endif

#endif
