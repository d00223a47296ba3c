// ELF headers and program headers; see elf.h.
#include "elf.h"

#include "le.h"

#define ELF_EI_CLASS 4

static const elf_class elf_classes[] = {
	{1, "32-bit", 4, 52, 32, 28, 42, 44, 4, 8, 12, 16},
	{2, "64-bit", 8, 64, 56, 32, 54, 56, 8, 16, 24, 32},
};

bool elf_read_header(const uint8_t *buf, size_t size, elf_header *out)
{
	*out = {};
	if (size <= ELF_EI_CLASS || buf[0] != 0x7f || buf[1] != 'E' || buf[2] != 'L' || buf[3] != 'F')
		return false;
	for (const elf_class &k : elf_classes)
		if (k.ei_class == buf[ELF_EI_CLASS])
			out->cls = &k;
	const elf_class *c = out->cls;
	if (!c || size < c->ehdr_size || le16_get(buf + c->e_phentsize) != c->phdr_size)
		return false;
	out->e_type = le16_get(buf + 16);
	out->e_phoff = le_get(buf + c->e_phoff, c->word);
	out->e_phnum = le16_get(buf + c->e_phnum);
	return true;
}

std::vector<elf_phdr> elf_read_phdrs(const elf_header &h, const uint8_t *table)
{
	const elf_class *c = h.cls;
	std::vector<elf_phdr> out(h.e_phnum);
	for (size_t i = 0; i < h.e_phnum; i++) {
		const uint8_t *p = table + i * c->phdr_size;
		out[i] = {le32_get(p), le_get(p + c->p_offset, c->word), le_get(p + c->p_vaddr, c->word),
			  le_get(p + c->p_paddr, c->word), le_get(p + c->p_filesz, c->word)};
	}
	return out;
}
