/* MSVC's oldnames.lib maps the old POSIX names (open, strdup) to the runtime's underscored ones. The
 * test hosts use none of them, but every object compiled by cl or clang-cl names the library, so the
 * stand-in oldnames.lib holds only this empty object. */
typedef int oldnames_is_empty;
