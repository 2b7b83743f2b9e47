/* floor - the least a CGI redirect can cost: the answer linkhop gives for
 * the key "news" of the sample table, written in one call, then exit.
 *
 * Built statically with the project's compiler and flags, it is the floor
 * that scripts/bench.sh measures a request against: process start, one
 * write, process end, and nothing else.
 */
#include <unistd.h>

#include "sample.h"

static const char kAnswer[] = SAMPLE_ANSWER;

int main(void) {
  ssize_t r = write(STDOUT_FILENO, kAnswer, sizeof(kAnswer) - 1);
  return r == (ssize_t)(sizeof(kAnswer) - 1) ? 0 : 1;
}
