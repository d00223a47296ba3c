// Simulated Firehose device for dry runs: answers XML commands with canned
// responses, swallows program data, produces zero-filled read data, and
// checks VIP digest tables against everything that follows them.
#include "sim.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "digest.h"
#include "le.h"
#include "oscompat.h"
#include "util.h"
#include "ux.h"

static const char sim_ack[] =
	"<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><response value=\"ACK\" rawmode=\"false\" /></data>";
static const char sim_raw_ack[] =
	"<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><response value=\"ACK\" rawmode=\"true\" /></data>";
static const char sim_configure_resp[] =
	"<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><response value=\"ACK\" MemoryName=\"ufs\" "
	"MinVersionSupported=\"1\" Version=\"1\" MaxPayloadSizeToTargetInBytes=\"1048576\" "
	"MaxPayloadSizeToTargetInBytesSupported=\"1048576\" MaxXMLSizeInBytes=\"4096\" /></data>";

static vorn_device_sim *to_sim(vorn_device *dev)
{
	return static_cast<vorn_device_sim *>(dev);
}

static void sim_enqueue(vorn_device_sim *sim, const char *text)
{
	sim_response *resp = static_cast<sim_response *>(malloc(sizeof(*resp)));
	if (!resp)
		err(1, "sim: failed to allocate response entry");
	resp->data = strdup(text);
	if (!resp->data)
		err(1, "sim: failed to duplicate response string");
	resp->len = strlen(text);
	resp->next = nullptr;

	if (sim->resp_tail)
		sim->resp_tail->next = resp;
	else
		sim->resp_head = resp;
	sim->resp_tail = resp;
}

static void sim_enqueue_log(vorn_device_sim *sim, const char *handler)
{
	char buf[256];

	snprintf(buf, sizeof(buf),
		 "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><log value=\"INFO: Calling handler for %s\" /></data>",
		 handler);
	sim_enqueue(sim, buf);
}

static uint32_t sim_get_uint_attr(xmlNode *node, const char *name)
{
	xmlChar *value = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
	if (!value)
		return 0;
	unsigned long v = util_strtoul32(reinterpret_cast<const char *>(value), nullptr, 10);
	xmlFree(value);
	return static_cast<uint32_t>(v);
}

static int sim_open(vorn_device *dev, const char *serial)
{
	(void)dev;
	(void)serial;
	ux_info("This is a dry-run execution of VORN. No actual flashing has been performed\n");
	return 0;
}

static int sim_read(vorn_device *dev, void *buf, size_t len, unsigned timeout_ms)
{
	vorn_device_sim *sim = to_sim(dev);
	(void)timeout_ms;

	if (len > INT_MAX)
		len = INT_MAX;

	sim_response *resp = sim->resp_head;
	if (resp) {
		if (len < resp->len) {
			// A short buffer gets the front of the response; the rest
			// stays at the head of the queue for the next read.
			if (len)
				memcpy(buf, resp->data, len);
			memmove(resp->data, resp->data + len, resp->len - len + 1);
			resp->len -= len;
			return static_cast<int>(len);
		}
		sim->resp_head = resp->next;
		if (!sim->resp_head)
			sim->resp_tail = nullptr;
		size_t n = resp->len;
		memcpy(buf, resp->data, n);
		free(resp->data);
		free(resp);
		return static_cast<int>(n);
	}

	if (sim->state == SIM_STATE_RAW_OUT) {
		size_t n = len < sim->raw_remaining ? len : sim->raw_remaining;
		if (n)
			memset(buf, 0, n);
		sim->raw_remaining -= n;
		if (sim->raw_remaining == 0) {
			sim_enqueue(sim, sim_ack);
			sim->state = SIM_STATE_XML;
		}
		return static_cast<int>(n);
	}

	return sim->closed ? -EIO : -ETIMEDOUT;
}

static void sim_dispatch(vorn_device_sim *sim, xmlNode *cmd)
{
	const char *name = reinterpret_cast<const char *>(cmd->name);

	if (strcmp(name, "configure") == 0) {
		sim_enqueue_log(sim, name);
		sim_enqueue(sim, sim_configure_resp);
	} else if (strcmp(name, "program") == 0 || strcmp(name, "read") == 0) {
		uint64_t sectors = sim_get_uint_attr(cmd, "num_partition_sectors");
		uint64_t sector_size = sim_get_uint_attr(cmd, "SECTOR_SIZE_IN_BYTES");
		sim_enqueue_log(sim, name);
		sim_enqueue(sim, sim_raw_ack);
		sim->state = name[0] == 'p' ? SIM_STATE_RAW_IN : SIM_STATE_RAW_OUT;
		sim->raw_remaining = static_cast<size_t>(sectors * sector_size);
	} else if (strcmp(name, "erase") == 0 || strcmp(name, "patch") == 0 ||
		   strcmp(name, "setbootablestoragedrive") == 0 || strcmp(name, "ufs") == 0) {
		sim_enqueue_log(sim, name);
		sim_enqueue(sim, sim_ack);
	} else if (strcmp(name, "power") == 0) {
		sim_enqueue_log(sim, name);
		sim_enqueue(sim, sim_ack);
		sim->closed = true;
	} else {
		sim_enqueue(sim, sim_ack);
	}
}

struct sim_doc_free {
	void operator()(xmlDoc *doc) const { xmlFreeDoc(doc); }
};

struct sim_ctxt_free {
	void operator()(xmlParserCtxt *ctxt) const { xmlFreeParserCtxt(ctxt); }
};

static void sim_xml_quiet(void *ctx, xmlError *error)
{
	(void)ctx;
	(void)error;
}

// One whole document, or null. A write that is no document is answered by
// silence, also when the console has a handler for libxml2's reports: the
// parser's own handler takes them (XML_PARSE_NOERROR alone does not keep
// them from a global structured handler).
static xmlDoc *sim_parse(const void *buf, size_t len)
{
	std::unique_ptr<xmlParserCtxt, sim_ctxt_free> ctxt(xmlNewParserCtxt());
	if (!ctxt)
		return nullptr;
	ctxt->sax->serror = sim_xml_quiet;
	return xmlCtxtReadMemory(ctxt.get(), static_cast<const char *>(buf), static_cast<int>(len), nullptr,
				 nullptr, XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
}

static int sim_write(vorn_device *dev, const void *buf, size_t len, unsigned timeout_ms)
{
	vorn_device_sim *sim = to_sim(dev);
	const uint8_t *bytes = static_cast<const uint8_t *>(buf);
	(void)timeout_ms;

	// The result is an int: a larger write is taken in part, as a short
	// write the caller completes.
	if (len > INT_MAX)
		len = INT_MAX;

	if (!sim->create_digests && dev->vip_data.sending_table) {
		sim_vip_recv_table(sim, bytes, len, dev->vip_data.state == VIP_INIT);
		sim_enqueue(sim, sim_ack);
		return static_cast<int>(len);
	}

	if (sim->state == SIM_STATE_RAW_IN) {
		sim_vip_check_chunk(sim, bytes, len);
		if (len >= sim->raw_remaining) {
			sim_enqueue(sim, sim_ack);
			sim->state = SIM_STATE_XML;
			sim->raw_remaining = 0;
		} else {
			sim->raw_remaining -= len;
		}
		return static_cast<int>(len);
	}

	std::unique_ptr<xmlDoc, sim_doc_free> doc(sim_parse(buf, len));
	if (!doc)
		return static_cast<int>(len);

	sim_vip_check_chunk(sim, bytes, len);

	xmlNode *data = xmlDocGetRootElement(doc.get());
	for (; data; data = data->next) {
		if (data->type == XML_ELEMENT_NODE &&
		    xmlStrcmp(data->name, reinterpret_cast<const xmlChar *>("data")) == 0)
			break;
	}
	if (data) {
		xmlNode *cmd = data->children;
		while (cmd && cmd->type != XML_ELEMENT_NODE)
			cmd = cmd->next;
		if (cmd)
			sim_dispatch(sim, cmd);
	}
	return static_cast<int>(len);
}

static void sim_close(vorn_device *dev)
{
	(void)dev;
}

static void sim_set_out_chunk_size(vorn_device *dev, long size)
{
	(void)dev;
	(void)size;
}

vorn_device_sim::~vorn_device_sim()
{
	while (resp_head) {
		sim_response *next = resp_head->next;
		free(resp_head->data);
		free(resp_head);
		resp_head = next;
	}
	resp_tail = nullptr;
}

int vorn_device_sim::open(const char *serial)
{
	return sim_open(this, serial);
}

int vorn_device_sim::read(void *buf, size_t len, unsigned timeout_ms)
{
	return sim_read(this, buf, len, timeout_ms);
}

int vorn_device_sim::write(const void *buf, size_t len, unsigned timeout_ms)
{
	return sim_write(this, buf, len, timeout_ms);
}

void vorn_device_sim::close()
{
	sim_close(this);
}

void vorn_device_sim::set_out_chunk_size(long size)
{
	sim_set_out_chunk_size(this, size);
}

vorn_device *sim_init(void)
{
	vorn_device_sim *sim = new (std::nothrow) vorn_device_sim();
	if (!sim)
		return nullptr;
	sim->dev_type = VORN_DEVICE_SIM;
	sim->max_payload_size = 1048576;
	sim->sector_size = 4096;
	return sim;
}

static vorn_device_sim *sim_from_device(vorn_device *dev)
{
	if (!dev || dev->dev_type != VORN_DEVICE_SIM)
		return nullptr;
	return dynamic_cast<vorn_device_sim *>(dev);
}

bool sim_set_digest_generation(bool create_digests, vorn_device *dev, vip_table_generator *gen)
{
	vorn_device_sim *sim = sim_from_device(dev);
	if (!sim)
		return false;
	sim->create_digests = create_digests;
	sim->vip_gen = gen;
	return true;
}

vip_table_generator *sim_get_vip_generator(vorn_device *dev)
{
	vorn_device_sim *sim = sim_from_device(dev);
	if (!sim || !sim->create_digests)
		return nullptr;
	return sim->vip_gen;
}

// VIP digest checking.

static void sim_sha256(const uint8_t *buf, size_t len, uint8_t digest[SIM_VIP_HASH_SIZE])
{
	if (sha256_of(buf, len, digest) != 0)
		memset(digest, 0, SIM_VIP_HASH_SIZE);
}

static void sim_hex(const uint8_t digest[SIM_VIP_HASH_SIZE], char out[2 * SIM_VIP_HASH_SIZE + 1])
{
	for (size_t i = 0; i < SIM_VIP_HASH_SIZE; i++)
		snprintf(out + 2 * i, 3, "%02x", digest[i]);
}

const uint8_t *sim_vip_signed_payload(const uint8_t *buf, size_t len, size_t *payload_len)
{
	if (len < SIM_MBN_HEADER_MIN)
		return nullptr;

	uint32_t header_version = le32_get(buf + 4);
	uint32_t image_size = le32_get(buf + 16);
	uint32_t code_size = le32_get(buf + 20);

	if (header_version != 5 && header_version != 6)
		return nullptr;
	if (code_size < 1 || code_size > 54 * SIM_VIP_HASH_SIZE || code_size % SIM_VIP_HASH_SIZE != 0)
		return nullptr;
	if (image_size < code_size || len < image_size)
		return nullptr;
	size_t offset = len - image_size;
	if (offset < SIM_MBN_HEADER_MIN || code_size > len - offset)
		return nullptr;

	*payload_len = code_size;
	return buf + offset;
}

void sim_vip_recv_table(vorn_device_sim *sim, const uint8_t *buf, size_t len, bool is_signed)
{
	const uint8_t *digests;
	size_t n;

	if (is_signed) {
		size_t payload_len = 0;
		digests = sim_vip_signed_payload(buf, len, &payload_len);
		if (!digests) {
			ux_err("sim: VIP signed table: unrecognised format (%zu bytes)\n", len);
			return;
		}
		n = payload_len / SIM_VIP_HASH_SIZE;
		if (n == 54) {
			memcpy(sim->vip_chain_hash, digests + 53 * SIM_VIP_HASH_SIZE, SIM_VIP_HASH_SIZE);
			sim->vip_has_chain_hash = true;
			n = 53;
		}
	} else {
		if (sim->vip_has_chain_hash) {
			uint8_t computed[SIM_VIP_HASH_SIZE];
			sim_sha256(buf, len, computed);
			if (memcmp(computed, sim->vip_chain_hash, SIM_VIP_HASH_SIZE) == 0) {
				ux_debug("sim: VIP chained table chain hash OK\n");
			} else {
				char got[2 * SIM_VIP_HASH_SIZE + 1];
				char want[2 * SIM_VIP_HASH_SIZE + 1];
				sim_hex(computed, got);
				sim_hex(sim->vip_chain_hash, want);
				ux_err("sim: VIP chained table chain hash mismatch\n  computed:  %s\n  expected:  %s\n",
				       got, want);
			}
			sim->vip_has_chain_hash = false;
		}
		digests = buf;
		n = len / SIM_VIP_HASH_SIZE;
		if (len == 256 * SIM_VIP_HASH_SIZE) {
			memcpy(sim->vip_chain_hash, buf + 255 * SIM_VIP_HASH_SIZE, SIM_VIP_HASH_SIZE);
			sim->vip_has_chain_hash = true;
			n = 255;
		}
	}

	if (sim->vip_hash_count + n > SIM_VIP_MAX_HASHES) {
		ux_err("sim: VIP table overflow (%zu + %zu > %u), truncating\n", sim->vip_hash_count, n,
		       static_cast<unsigned>(SIM_VIP_MAX_HASHES));
		n = SIM_VIP_MAX_HASHES - sim->vip_hash_count;
	}
	if (n)
		memcpy(sim->vip_hashes[sim->vip_hash_count], digests, n * SIM_VIP_HASH_SIZE);
	sim->vip_hash_count += n;
	ux_debug("sim: loaded %zu VIP chunk hashes from %s table (total: %zu)\n", n,
		 is_signed ? "signed" : "chained", sim->vip_hash_count);
}

void sim_vip_check_chunk(vorn_device_sim *sim, const uint8_t *buf, size_t len)
{
	if (sim->create_digests || sim->vip_hash_count == 0)
		return;

	uint8_t computed[SIM_VIP_HASH_SIZE];
	sim_sha256(buf, len, computed);

	if (sim->vip_hash_idx >= sim->vip_hash_count) {
		ux_err("sim: VIP chunk %zu has no entry in the digest table (table has %zu entries)\n",
		       sim->vip_hash_idx, sim->vip_hash_count);
	} else if (memcmp(computed, sim->vip_hashes[sim->vip_hash_idx], SIM_VIP_HASH_SIZE) == 0) {
		ux_debug("sim: VIP chunk %zu hash OK\n", sim->vip_hash_idx);
	} else {
		char got[2 * SIM_VIP_HASH_SIZE + 1];
		char want[2 * SIM_VIP_HASH_SIZE + 1];
		sim_hex(computed, got);
		sim_hex(sim->vip_hashes[sim->vip_hash_idx], want);
		ux_err("sim: VIP hash mismatch for chunk %zu\n  computed:  %s\n  expected:  %s\n", sim->vip_hash_idx,
		       got, want);
	}
	sim->vip_hash_idx++;
}
