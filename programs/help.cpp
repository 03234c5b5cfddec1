// help: lists the installed commands with the summary and example of each one's command record.
//
// There is no directory-listing call, so the list of commands is a text file, /binaries/.commands,
// one program name per line, which the build writes from the programs it installs. Blank lines
// and lines beginning with '#' are skipped. For each name, help opens /binaries/NAME with the
// stream functions, finds the `.yulos.cmdmeta` section through the ELF section headers and
// reads the record in it: magic "YCMD", version 1, then the summary and the example, each
// NUL-terminated. The output, one entry per name in the order of the list:
//   NAME: SUMMARY
//     example: EXAMPLE
// A program that carries no command record (echo, help itself) is still listed, as
//   NAME: (no command record)
// so that the list shows everything that is installed. A file that cannot be opened, is not
// an executable with a readable section table, or whose record is malformed is listed with the
// reason in parentheses, and help then ends with status 1 (0 when every entry was read).
#include <stdio.h>
#include <string.h>
#include <yulos_elf.h>
#include <yulos_kernel.h>

namespace {

const char index_path[] = "/binaries/.commands";
const char binaries_dir[] = "/binaries/";
const char record_section[] = YULOS_CMDMETA_SECTION;

constexpr unsigned int name_max = 128;
constexpr unsigned int record_max = 512;   // far more than a summary and an example need
constexpr unsigned int section_max = 4096; // a sane bound on the section table's length

// What was found in one executable.
enum lookup_result { found_record, no_record, cannot_open, not_executable, bad_record };

// A command record's two texts, pointing into `bytes`.
struct command_record {
    char bytes[record_max];
    const char* summary;
    const char* example;
};

unsigned int u32_at(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (unsigned int)(p[3]) << 24;
}

// Reads exactly `length` bytes at `offset`; fread makes one read call, so it is repeated until
// the bytes are in or the file has nothing more.
bool read_at(FILE* file, unsigned int offset, void* into, unsigned int length)
{
    if (offset > 0x7fffffffu || fseek(file, (int)offset, SEEK_SET) != 0) return false;
    unsigned char* bytes = (unsigned char*)into;
    unsigned int done = 0;
    while (done < length) {
        size_t n = fread(bytes + done, 1, length - done, file);
        if (n == 0) return false;
        done += (unsigned int)n;
    }
    return true;
}

// The offset of the NUL that ends the text starting at `at`, or `size` when there is none.
unsigned int text_end(const char* bytes, unsigned int at, unsigned int size)
{
    while (at < size && bytes[at] != 0) ++at;
    return at;
}

// Checks the record's magic and version and that both texts end inside it.
bool parse_record(command_record* record, unsigned int size)
{
    const unsigned char* head = (const unsigned char*)record->bytes;
    if (size < YULOS_META_HEADER_SIZE || memcmp(head, YULOS_CMDMETA_MAGIC, 4) != 0 ||
        u32_at(head + 4) != YULOS_META_VERSION)
        return false;
    unsigned int summary_end = text_end(record->bytes, YULOS_META_HEADER_SIZE, size);
    if (summary_end >= size) return false;
    unsigned int example_end = text_end(record->bytes, summary_end + 1, size);
    if (example_end >= size) return false;
    record->summary = record->bytes + YULOS_META_HEADER_SIZE;
    record->example = record->bytes + summary_end + 1;
    return true;
}

// Walks the section headers of an open executable for the command record.
lookup_result find_record(FILE* file, command_record* record)
{
    yulos_elf_header header;
    if (!read_at(file, 0, &header, sizeof header)) return not_executable;
    if (header.ident[0] != 0x7f || memcmp(header.ident + 1, "ELF", 3) != 0 ||
        header.ident[4] != YULOS_ELF_CLASS32 || header.ident[5] != YULOS_ELF_DATA_LSB)
        return not_executable;
    unsigned int table = header.section_headers, count = header.section_header_count;
    unsigned int names_index = header.section_names_index;
    if (table == 0 || header.section_header_size != sizeof(yulos_elf_section_header) ||
        count > section_max || names_index >= count)
        return not_executable;

    yulos_elf_section_header section;
    if (!read_at(file, table + names_index * sizeof section, &section, sizeof section))
        return not_executable;
    unsigned int names = section.offset, names_size = section.size;

    for (unsigned int i = 0; i < count; ++i) {
        if (!read_at(file, table + i * sizeof section, &section, sizeof section))
            return not_executable;
        // The name must be ".yulos.cmdmeta" with its NUL, inside the names table.
        char found[sizeof record_section];
        if (section.name >= names_size || names_size - section.name < sizeof found) continue;
        if (!read_at(file, names + section.name, found, sizeof found)) return not_executable;
        if (memcmp(found, record_section, sizeof found) != 0) continue;

        if (section.type != YULOS_SHT_PROGBITS || section.size > record_max) return bad_record;
        if (!read_at(file, section.offset, record->bytes, section.size)) return bad_record;
        return parse_record(record, section.size) ? found_record : bad_record;
    }
    return no_record;
}

lookup_result look_up(const char* path, command_record* record)
{
    FILE* file = fopen(path, "r");
    if (!file) return cannot_open;
    lookup_result result = find_record(file, record);
    fclose(file);
    return result;
}

// Output goes out a whole line at a time, so each line is one write.
struct line_buffer {
    char text[2 * record_max + name_max + 64];
    unsigned int length;
};

void add(line_buffer* line, const char* text)
{
    while (*text && line->length + 1 < sizeof line->text) line->text[line->length++] = *text++;
    line->text[line->length] = 0;
}

// Prints one command's entry; false when its file or record could not be read.
bool print_entry(const char* name, const char* path)
{
    command_record record;
    line_buffer line = {{0}, 0};
    add(&line, name);
    lookup_result result = look_up(path, &record);
    switch (result) {
    case found_record:
        add(&line, ": ");
        add(&line, record.summary);
        add(&line, "\n  example: ");
        add(&line, record.example);
        break;
    case no_record: add(&line, ": (no command record)"); break;
    case cannot_open:
        add(&line, ": (cannot open ");
        add(&line, path);
        add(&line, ")");
        break;
    case not_executable: add(&line, ": (not a readable executable)"); break;
    case bad_record: add(&line, ": (malformed command record)"); break;
    }
    add(&line, "\n");
    fputs(line.text, stdout);
    return result == found_record || result == no_record;
}

// Handles one line of the list; false when its entry could not be read.
bool list_command(const char* name)
{
    if (name[0] == 0 || name[0] == '#') return true;
    char path[sizeof binaries_dir + name_max];
    strcpy(path, binaries_dir);
    strcat(path, name);
    return print_entry(name, path);
}

} // namespace

extern "C" int main(int, char**)
{
    FILE* list = fopen(index_path, "r");
    if (!list) {
        puts("help: cannot open /binaries/.commands, the list of installed commands");
        return 1;
    }
    bool all_read = true;
    char name[name_max + 1];
    unsigned int length = 0;
    bool too_long = false;
    for (;;) {
        int ch = fgetc(list);
        if (ch == '\n' || ch == EOF) {
            // Trailing blanks (and a carriage return) are not part of the name.
            while (length > 0 && (name[length - 1] == ' ' || name[length - 1] == '\t' ||
                                  name[length - 1] == '\r'))
                --length;
            name[length] = 0;
            if (too_long) {
                puts("help: a name in /binaries/.commands is too long");
                all_read = false;
            } else if (!list_command(name))
                all_read = false;
            length = 0;
            too_long = false;
            if (ch == EOF) break;
        } else if (length < name_max)
            name[length++] = (char)ch;
        else
            too_long = true;
    }
    fclose(list);
    return all_read ? 0 : 1;
}
