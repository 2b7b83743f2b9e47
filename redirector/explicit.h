/* explicit - where an explicit address may lead: the operator's allow-list
 * (LINKHOP_EXPLICIT) and the one rule that checks an address against it. */
#ifndef LINKHOP_EXPLICIT_H
#define LINKHOP_EXPLICIT_H

/* The request variable that holds the allow-list. */
#define EXPLICIT_SETTING "LINKHOP_EXPLICIT"

/* 1 when the explicit address (a query that holds a full stop, ended at its
 * first byte below 32) may be answered under setting, the value of
 * LINKHOP_EXPLICIT; 0 when it is refused. Pure: reads its two texts only.
 *
 * - setting null or empty: every address is allowed;
 * - setting "none": none is;
 * - otherwise setting is a list of host names, separated by spaces, tabs or
 *   commas: "example.com" names that host alone, ".example.com" that host
 *   and every name below it. An address is allowed when it is "http://" or
 *   "https://" (any letter case), a listed host (ASCII case-insensitive; an
 *   IPv6 literal in its brackets), optionally ':' and a port of digits,
 *   then its end or one of / ? # \ ; or when it is a path on this site: a
 *   single '/' not followed by '/' or '\'. A host holding '%' or '@' (user
 *   information) is never allowed. address must not be null. */
int ExplicitAllowed(const char *address, const char *setting);

/* The first entry of the list setting that names no host because it holds
 * a port ("partner.example:8443"; an IPv6 literal's colons in its brackets
 * are no port's): its length, *entry set to it; 0 when there is none. A
 * host is allowed on every port, so such an entry allows nothing. */
int ExplicitPortEntry(const char *setting, const char **entry);

#endif
