/*
 * Byte layout of the model container file, shared by the container module,
 * the simulator library and the virtual board.
 *
 * All header fields and section lengths are unsigned 64-bit little-endian:
 * magic, version, export length, export section, configuration length,
 * configuration section (UTF-8 JSON).  From version 2 on the export section
 * starts at offset 64 instead of 24, and two custom-operator sections follow
 * the configuration, their lengths written as the C `unsigned long`.
 */
#ifndef ZELT_CONTAINER_H
#define ZELT_CONTAINER_H

#include <stdint.h>
#include <string.h>

#define ZELT_CONTAINER_MAGIC 0x544C455AULL /* "ZELT" and four zero bytes, little-endian */
#define ZELT_CONTAINER_HEADER_SIZE 24u     /* magic, version, export length */
#define ZELT_CONTAINER_HEADER_SIZE_V2 64u  /* version 2 and up: 40 reserved bytes follow */
#define ZELT_CONTAINER_LENGTH_SIZE 8u

/* The two sections a runtime reads, as views into the container bytes. */
typedef struct ZELTContainerSections {
    uint64_t version;
    const uint8_t *export_data;
    uint64_t export_size;
    const uint8_t *config_data;
    uint64_t config_size;
} ZELTContainerSections;

static inline uint64_t zelt_container_u64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

/*
 * Locates the export and configuration sections; returns 0 when the bytes are
 * a container with both sections complete, -1 otherwise.
 */
static inline int zelt_container_sections(const uint8_t *data, uint64_t size, ZELTContainerSections *out) {
    if (size < ZELT_CONTAINER_HEADER_SIZE || zelt_container_u64(data) != ZELT_CONTAINER_MAGIC) return -1;
    uint64_t version = zelt_container_u64(data + 8);
    uint64_t export_size = zelt_container_u64(data + 16);
    uint64_t start = version >= 2 ? ZELT_CONTAINER_HEADER_SIZE_V2 : ZELT_CONTAINER_HEADER_SIZE;
    if (start > size || export_size > size - start) return -1;
    uint64_t cfg = start + export_size;
    if (size - cfg < ZELT_CONTAINER_LENGTH_SIZE) return -1;
    uint64_t config_size = zelt_container_u64(data + cfg);
    if (config_size > size - cfg - ZELT_CONTAINER_LENGTH_SIZE) return -1;
    out->version = version;
    out->export_data = data + start;
    out->export_size = export_size;
    out->config_data = data + cfg + ZELT_CONTAINER_LENGTH_SIZE;
    out->config_size = config_size;
    return 0;
}

#endif /* ZELT_CONTAINER_H */
