/* kept - the redirect table kept between the requests of a persistent
 * process: its index file mapped, shared with every other process that maps
 * it; or, for a table without one, the table read whole and indexed in a
 * room of the process's own. Every request looks at the table's stamp, so
 * an edit takes effect at the next request. */
#ifndef LINKHOP_KEPT_H
#define LINKHOP_KEPT_H

/* With 1, from now on the lookup keeps the table between calls, for a
 * process that answers many requests; with 0 it reads the file afresh every
 * time again, and gives back what it kept. */
void LookupKeepTables(int keep);

/* 1 while tables are kept. */
int KeptTablesEnabled(void);

/* What the kept table answers for key (a key the table is asked for: see
 * TableKeyFlaws), the table at tablePath and its index at indexPath: 1 and
 * the address in value, 0 for a miss; -1 when nothing is kept for it (no
 * table, no room): the caller scans the file. */
int KeptLookup(const char *tablePath, const char *indexPath, const char *key, char *value);

#endif /* LINKHOP_KEPT_H */
