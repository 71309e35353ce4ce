"""Large images in and out without holding them whole.

``open_image`` reads Zarr (a plain array, or the first level of OME-Zarr)
and TIFF (through tifffile's Zarr view of its tiles or strips) as lazy dask
arrays; ``write`` stores a dask array as Zarr or as tiled TIFF, chunk by
chunk. Both write to a temporary name beside the target and move it into
place when complete, so a target holds a whole result or nothing new.
"""

from __future__ import annotations

import contextlib
import io
import os
import shutil
from pathlib import Path

import dask.array as da
import numpy as np

from zentrel.io import (TEMP_MARK, ImageReadError, exists_message, is_zarr, luma,
                        write_atomic)

__all__ = ["CHUNKED_FORMATS", "open_image", "write", "is_zarr"]

# What the chunked path reads and writes, by extension.
CHUNKED_FORMATS = {".zarr": "Zarr", ".tif": "TIFF", ".tiff": "TIFF"}
TIFF_TILE = 512


def open_image(path, *, chunks=None, rescale: bool = False, keep_wide: bool = False) -> da.Array:
    """The grey image in ``path`` as a 2-D dask array, read lazily.

    Leading axes of length 1 (OME-Zarr's t, c, z) are dropped; RGB(A) TIFF
    becomes BT.601 luma chunk by chunk. ``chunks`` (an int or a pair)
    rechunks; by default the file's own chunking is kept, with TIFF tiles
    gathered into chunks of about 4096 x 4096. Values wider than 8 bits
    raise ImageReadError unless ``rescale`` maps their min..max onto 0..255
    (one extra pass over the image for the range), or ``keep_wide`` keeps
    them as they are (for the automatic default, which maps them itself).
    """
    path = Path(path)
    try:
        if is_zarr(path):
            array, colour = _zarr_array(path, chunks), False
        elif path.suffix.lower() in (".tif", ".tiff"):
            array, colour = _tiff_array(path, chunks)
        else:
            raise ImageReadError(f"the chunked path reads Zarr and TIFF, not {path.suffix or path.name}")
    except ImageReadError:
        raise
    except Exception as error:  # zarr and tifffile raise many kinds for bad files
        raise ImageReadError(f"cannot read image: {str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__}") from error
    if colour:
        array = array.map_blocks(_luma, drop_axis=2, dtype=np.uint8, meta=np.empty((0, 0), np.uint8))
    while array.ndim > 2 and array.shape[0] == 1:
        array = array[0]
    if array.ndim != 2:
        raise ImageReadError(f"holds an array of shape {array.shape}; a grey image (2-D) is required")
    if array.dtype not in (np.uint8, np.bool_) and not (keep_wide and not rescale):
        if not rescale:
            raise ImageReadError(f"values wider than 8 bits ({array.dtype}); pass --rescale to map "
                                 "their range onto 0..255")
        array = _rescaled(array)
    return array


def _chunks(chunks, stored, shape):
    """Chunks given as an int or a pair for the image's two axes; the file's
    own chunks when None. Colour samples stay in one chunk."""
    if chunks is None:
        chunks = stored[-2:] if len(shape) == 2 or shape[-1] > 4 else stored[-3:-1]
    if isinstance(chunks, int):
        chunks = (chunks, chunks)
    # Given here rather than by a rechunk after reading: each chunk is read
    # once, straight from the file's tiles.
    lead = len(shape) - 2 - (1 if len(shape) == 3 and shape[-1] in (3, 4) else 0)
    return (1,) * lead + tuple(chunks) + tuple(shape[lead + 2:])


def _zarr_array(path: Path, chunks) -> da.Array:
    import zarr

    node = zarr.open(str(path), mode="r")
    if isinstance(node, zarr.Group):
        attrs = node.attrs.asdict()
        scales = attrs.get("multiscales") or attrs.get("ome", {}).get("multiscales")
        if not scales:
            raise ImageReadError("a Zarr group without OME multiscales; give the array's own path")
        node = node[scales[0]["datasets"][0]["path"]]
    return da.from_zarr(node, chunks=_chunks(chunks, node.chunks, node.shape))


class _TiffLevel:
    """The first level of a TIFF's first series, read through tifffile's Zarr
    store. It pickles as its path: each read opens the file (parsing one
    header is cheap beside decoding a chunk), so workers need no open
    handles and none is left open."""

    def __init__(self, path):
        self.path = str(path)
        with self._opened() as z:
            self.shape, self.dtype, self.ndim, self.stored = z.shape, z.dtype, z.ndim, z.chunks

    @contextlib.contextmanager
    def _opened(self):
        import tifffile
        import zarr

        with tifffile.imread(self.path, aszarr=True, level=0) as store:
            node = zarr.open(store, mode="r")
            yield node[next(iter(node.array_keys()))] if isinstance(node, zarr.Group) else node

    def __getitem__(self, key):
        with self._opened() as z:
            return z[key]


def _tiff_array(path: Path, chunks):
    level = _TiffLevel(path)
    if chunks is None:
        # Whole multiples of the file's tiles or strips, about 4096 on a side.
        chunks = tuple(max(c, 4096 // c * c) for c in level.stored[:2])
    chunks = _chunks(chunks, level.stored, level.shape)
    array = da.from_array(level, chunks=chunks, meta=np.empty((0,) * level.ndim, level.dtype))
    colour = array.ndim == 3 and array.shape[2] in (3, 4)
    return array, colour


def _luma(block):
    return luma(block[..., :3])


def _rescaled(array: da.Array) -> da.Array:
    if array.dtype.kind == "f" and not bool(da.isfinite(array).all().compute()):
        raise ImageReadError("the image holds values that are not finite")
    low, high = (float(v) for v in da.compute(array.min(), array.max()))
    return array.map_blocks(_rescale_block, low, high, dtype=np.uint8)


def _rescale_block(block, low, high):
    # As rescale_to_8bit on the whole image: its min..max onto 0..255, rounded.
    if high == low:
        return np.zeros(block.shape, np.uint8)
    scale = 255.0 / (high - low)
    return np.clip(np.rint((block.astype(np.float64) - low) * scale), 0, 255).astype(np.uint8)


def write(array: da.Array, path, *, overwrite: bool = False) -> None:
    """Store ``array`` (computed chunk by chunk) as Zarr or tiled TIFF by the
    extension of ``path``. FileExistsError for an existing ``path`` unless
    ``overwrite``."""
    path = Path(path)
    kind = CHUNKED_FORMATS.get(path.suffix.lower())
    if kind is None:
        raise ValueError(f"{path}: the chunked path writes {', '.join(CHUNKED_FORMATS)}")
    if not overwrite and os.path.lexists(path):
        raise FileExistsError(exists_message(path))
    if kind == "Zarr":
        _write_zarr(array, path, overwrite)
    else:
        _write_tiff(array, path, overwrite)


def _write_zarr(array: da.Array, path: Path, overwrite: bool) -> None:
    temp = path.parent / f".{path.name}{TEMP_MARK}{os.urandom(4).hex()}"
    # Zarr wants equal chunks but the last; a ragged input chunking is evened out.
    regular = tuple(c[0] for c in array.chunks)
    if any(any(n != c[0] for n in c[:-1]) or c[-1] > c[0] for c in array.chunks):
        array = array.rechunk(regular)
    try:
        da.to_zarr(array, str(temp), overwrite=False)
        if os.path.lexists(path):
            if not overwrite:
                raise FileExistsError(exists_message(path))
            shutil.rmtree(path) if path.is_dir() and not path.is_symlink() else path.unlink()
        os.rename(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            shutil.rmtree(temp)
        raise


def _write_tiff(array: da.Array, path: Path, overwrite: bool) -> None:
    import tifffile

    rows, cols = array.shape
    tile = TIFF_TILE
    # Bands of whole tiles, about one chunk high: one band in memory at a time.
    band = max(tile, -(-array.chunks[0][0] // tile) * tile)

    def tiles():
        for top in range(0, rows, band):
            values = np.asarray(array[top:top + band].compute())
            for r in range(0, values.shape[0], tile):
                for c in range(0, cols, tile):
                    piece = np.zeros((tile, tile), array.dtype)
                    part = values[r:r + tile, c:c + tile]
                    piece[:part.shape[0], :part.shape[1]] = part
                    yield piece

    def save(file):
        tifffile.imwrite(_Named(file, path.name), tiles(), shape=(rows, cols), dtype=array.dtype, tile=(tile, tile),
                         photometric="minisblack", compression="zlib",
                         bigtiff=rows * cols > 2**31)

    write_atomic(path, save, overwrite=overwrite)


class _Named(io.RawIOBase):
    """A file object with a textual name, which tifffile requires."""

    def __init__(self, file, name):
        super().__init__()
        self._file, self.name = file, name

    def writable(self):
        return True

    def seekable(self):
        return True

    def write(self, data):
        return self._file.write(data)

    def seek(self, offset, whence=io.SEEK_SET):
        return self._file.seek(offset, whence)

    def tell(self):
        return self._file.tell()

    def flush(self):
        self._file.flush()
