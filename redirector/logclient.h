/* logclient - how much of a visitor's address the request log keeps: the
 * operator's choice (LINKHOP_LOG_CLIENT) applied to REMOTE_ADDR. */
#ifndef LINKHOP_LOGCLIENT_H
#define LINKHOP_LOGCLIENT_H

/* The request variable that holds the choice. */
#define LOG_CLIENT_SETTING "LINKHOP_LOG_CLIENT"

/* Room for a masked address and its zero byte: "::ffff:255.255.255.0" and
 * "ffff:ffff:ffff::" both fit. */
enum { LOG_CLIENT_ROOM = 48 };

/* The client address a log line starts with, given REMOTE_ADDR (remote,
 * null when not set) and the setting's value (null when not set). Pure.
 *
 * - setting null or "full": remote itself, or "0.0.0.0" without one;
 * - "masked": IPv4 with its last octet 0 (192.0.2.7 as 192.0.2.0), IPv6
 *   with its first 48 bits kept, in the compressed form of RFC 5952
 *   (2001:db8:85a3:8d3:... as 2001:db8:85a3::), an IPv4-mapped address as
 *   ::ffff: and the masked IPv4; "0.0.0.0" for anything it cannot read.
 *   The text is written into room, which holds LOG_CLIENT_ROOM bytes;
 * - "none": "0.0.0.0".
 * Returns null for any other setting: the caller keeps no address then,
 * and says so where the operator looks. */
const char *LogClientAddress(const char *remote, const char *setting, char *room);

#endif
