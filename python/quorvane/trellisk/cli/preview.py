"""``preview``: a PNG grid of training samples as the pipeline delivers them.

Segmentation samples get their class mask blended over the picture, with the
region borders drawn solid; detection samples get their boxes and label
names. A legend under the grid names the classes that appear.
"""

import colorsys
import math
import os

import numpy as np

from .sources import (DETECTION_AUG_CFG, DatasetError, import_tensorflow, open_dataset,
                      train_samples)

GAP = 4               # pixels between tiles and around the grid
LEGEND_LINE = 18      # height of one legend line
LEGEND_COLUMN = 150   # width of one legend entry
BACKGROUND = (30, 30, 30)
TEXT = (235, 235, 235)
ALPHA = 0.45          # weight of the class colour over the picture

# Twenty colours that stay apart from each other, the first classes' colours.
BASE_PALETTE = [
    (230, 25, 75), (60, 180, 75), (255, 225, 25), (0, 130, 200), (245, 130, 48),
    (145, 30, 180), (70, 240, 240), (240, 50, 230), (210, 245, 60), (250, 190, 212),
    (0, 128, 128), (220, 190, 255), (170, 110, 40), (255, 250, 200), (128, 0, 0),
    (170, 255, 195), (128, 128, 0), (255, 215, 180), (0, 0, 128), (128, 128, 128),
]
PALETTE_SIZE = 128


def lab(rgb):
    """CIE L*a*b* (D65) of sRGB colours (..., 3) in 0..255: distances there
    follow how different two colours look."""
    c = np.asarray(rgb, np.float64) / 255.0
    c = np.where(c > 0.04045, ((c + 0.055) / 1.055) ** 2.4, c / 12.92)
    m = np.array([[0.4124, 0.3576, 0.1805], [0.2126, 0.7152, 0.0722], [0.0193, 0.1192, 0.9505]])
    xyz = c @ m.T / np.array([0.95047, 1.0, 1.08883])
    f = np.where(xyz > 216 / 24389, np.cbrt(xyz), (24389 / 27 * xyz + 16) / 116)
    return np.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]),
                     200 * (f[..., 1] - f[..., 2])], axis=-1)


def _palette(size):
    """The base colours, then each next colour the one of an RGB grid that lies
    farthest (in L*a*b*) from every colour taken so far and from the grid
    background. Deterministic: class k has the same colour in every preview."""
    levels = np.arange(0, 256, 15)
    grid = np.array(np.meshgrid(levels, levels, levels, indexing="ij")).reshape(3, -1).T
    grid_lab = lab(grid)
    bright = grid_lab[:, 0] > 25  # dark colours vanish against the grid background
    grid, grid_lab = grid[bright], grid_lab[bright]
    taken = lab(BASE_PALETTE + [BACKGROUND])
    nearest = np.linalg.norm(grid_lab[:, None] - taken[None], axis=-1).min(axis=1)
    out = list(BASE_PALETTE)
    while len(out) < size:
        i = int(np.argmax(nearest))
        out.append(tuple(int(v) for v in grid[i]))
        nearest = np.minimum(nearest, np.linalg.norm(grid_lab - grid_lab[i], axis=-1))
    return out


# Class k (mask value k + 1) gets entry k.
PALETTE = _palette(PALETTE_SIZE)


def colour(value):
    """Colour of mask value / label ``value`` (value 1 is the first class)."""
    k = int(value) - 1
    if 0 <= k < len(PALETTE):
        return PALETTE[k]
    # Beyond the palette: hues a golden angle apart.
    h = (k * 0.618033988749895) % 1.0
    return tuple(int(255 * c) for c in colorsys.hsv_to_rgb(h, 0.75, 0.95))


def grid_size(n, tile_h, tile_w):
    """(columns, rows, width, height) of the tile grid without legend."""
    cols = max(1, math.ceil(math.sqrt(n)))
    rows = max(1, math.ceil(n / cols))
    return cols, rows, cols * tile_w + (cols + 1) * GAP, rows * tile_h + (rows + 1) * GAP


def legend_height(entries, width):
    per_line = max(1, width // LEGEND_COLUMN)
    lines = math.ceil(entries / per_line) if entries else 1
    return lines * LEGEND_LINE + GAP


# Pixels of the ignore value (crowd regions under crowd="ignore"): white
# diagonal hatching, unlike any class colour.
IGNORE_COLOUR = (255, 255, 255)
HATCH = 6  # period of the hatching in pixels


def overlay_mask(image, mask, ignore_value=None):
    """Blend the class colours over ``image`` where ``mask`` > 0 and draw
    region borders; pixels of ``ignore_value`` are hatched instead."""
    out = image.astype(np.float32).copy()
    values = [v for v in np.unique(mask) if v > 0]
    if ignore_value is not None and ignore_value in values:
        ys, xs = np.indices(mask.shape)
        out[(mask == ignore_value) & ((xs + ys) % HATCH < HATCH // 2)] = IGNORE_COLOUR
        mask = np.where(mask == ignore_value, 0, mask)
    border = np.zeros(mask.shape, dtype=bool)
    border[:-1, :] |= mask[:-1, :] != mask[1:, :]
    border[1:, :] |= mask[1:, :] != mask[:-1, :]
    border[:, :-1] |= mask[:, :-1] != mask[:, 1:]
    border[:, 1:] |= mask[:, 1:] != mask[:, :-1]
    for v in values:
        if v == ignore_value:
            continue
        sel = mask == v
        c = np.array(colour(v), dtype=np.float32)
        out[sel] = (1 - ALPHA) * out[sel] + ALPHA * c
        out[sel & border] = c
    return np.clip(out, 0, 255).astype(np.uint8), values


def draw_boxes(image, boxes, names, shift=0):
    """Boxes [x1, y1, x2, y2, label] in pixels, with their label names.

    ``shift`` is added to a label to pick its colour (1 when the labels have
    no background entry), so a class looks the same as in a mask preview.
    """
    from PIL import Image, ImageDraw

    pic = Image.fromarray(image)
    draw = ImageDraw.Draw(pic)
    labels = []
    for x1, y1, x2, y2, label in boxes:
        if x2 - x1 <= 0 or y2 - y1 <= 0:
            continue  # the no-object row and the padding rows of a batch
        label = int(label)
        c = colour(label + shift)
        draw.rectangle([x1, y1, x2, y2], outline=c, width=2)
        text = names[label] if 0 <= label < len(names) else str(label)
        tx, ty = x1 + 2, max(0, y1 - 11)
        draw.rectangle([tx - 1, ty, tx + draw.textlength(text) + 1, ty + 10], fill=c)
        draw.text((tx, ty - 1), text, fill=(0, 0, 0))
        labels.append(label)
    return np.asarray(pic), labels


def compose(tiles, legend, tile_h, tile_w):
    """The grid of ``tiles`` and the legend [(value, name)] under it, as an RGB array."""
    from PIL import Image, ImageDraw

    cols, rows, width, height = grid_size(len(tiles), tile_h, tile_w)
    total_h = height + legend_height(len(legend), width)
    canvas = Image.new("RGB", (width, total_h), BACKGROUND)
    for i, tile in enumerate(tiles):
        r, c = divmod(i, cols)
        canvas.paste(Image.fromarray(tile[:tile_h, :tile_w]),
                     (GAP + c * (tile_w + GAP), GAP + r * (tile_h + GAP)))
    draw = ImageDraw.Draw(canvas)
    per_line = max(1, width // LEGEND_COLUMN)
    if not legend:
        draw.text((GAP, height), "no objects in these samples", fill=TEXT)
    for i, (value, name) in enumerate(legend):
        line, col = divmod(i, per_line)
        x, y = GAP + col * LEGEND_COLUMN, height + line * LEGEND_LINE
        swatch = IGNORE_COLOUR if name.startswith("ignore") else colour(value)
        draw.rectangle([x, y + 2, x + 12, y + 14], fill=swatch)
        text = name if len(name) <= 20 else name[:19] + "…"
        draw.text((x + 17, y + 2), text, fill=TEXT)
    return np.asarray(canvas)


def segmentation_names(ds):
    """Name of each mask value: 0 is the background, value k + 1 is labels[k]."""
    return ["background"] + [str(n) for n in ds.describe().classes]


def graph_pipeline(ds, src, n, augment):
    """The graph-only training pipeline of ``ds`` with batches of ``n``."""
    from ..datasets import graph

    if augment and not src.detection and not graph.augmentation_available():
        raise DatasetError("the op library of this build cannot augment; "
                           "use --no-augment with --graph")
    try:
        return graph.train_pipeline(ds, batch_size=n, prefetch=1, augment=augment)
    except ImportError as e:
        raise DatasetError(str(e)) from None


def segmentation_batch(ds, src, n, augment, use_graph=False):
    """Images [n, H, W, 3] and masks [n, H, W] of up to ``n`` training samples."""
    import_tensorflow()
    total = train_samples(ds)
    n = n if total is None else min(n, total)
    if n == 0:
        raise DatasetError("{} has no training samples".format(src.title()))
    if use_graph:
        pipeline = graph_pipeline(ds, src, n, augment)
    else:
        pipeline = ds.build_train_iterator(batch_size=n, prefetch=1, augment=augment)
    for images, masks in pipeline.take(1):
        return images.numpy(), masks.numpy()
    raise DatasetError("the training pipeline of {} yielded no batch".format(src.title()))


def render_segmentation(images, masks, names, ignore_value=None):
    tiles, present = [], set()
    for img, mask in zip(images, masks):
        tile, values = overlay_mask(img, mask, ignore_value)
        tiles.append(tile)
        present.update(int(v) for v in values)

    def name(v):
        if v == ignore_value:
            return "ignore (crowd, {})".format(v)
        return names[v] if v < len(names) else "mask value {}".format(v)

    legend = [(v, name(v)) for v in sorted(present)]
    h, w = images.shape[1:3]
    return compose(tiles, legend, h, w)


def detection_batch(ds, src, n, use_graph=False):
    """Images [n, H, W, 3] and boxes [n, max boxes, 5] of up to ``n`` training
    samples, augmented as the dataset's aug_cfg says."""
    total = ds.describe().num_train_samples or n
    n = max(1, min(n, total))
    pipeline = (graph_pipeline(ds, src, n, True) if use_graph
                else ds.build_train_iterator(batch_size=n, prefetch=1))
    for images, rest in pipeline.take(1):
        return images.numpy(), rest[0].numpy()
    raise DatasetError("the training pipeline of {} yielded no batch".format(src.title()))


def render_detection(images, boxes, names, shift=0):
    tiles, present = [], set()
    for img, bx in zip(images, boxes):
        if img.ndim == 3 and img.shape[2] == 1:
            img = np.repeat(img, 3, axis=2)
        tile, labels = draw_boxes(img, bx, names, shift)
        tiles.append(tile)
        present.update(labels)
    legend = [(v + shift, names[v] if 0 <= v < len(names) else "label {}".format(v))
              for v in sorted(present)]
    h, w = images.shape[1:3]
    return compose(tiles, legend, h, w)


def render(ds, src, n=16, augment=True, use_graph=False):
    """The preview picture of dataset ``ds`` (opened from ``src``) as an RGB array;
    ``use_graph`` draws the samples from the graph-only pipeline."""
    if src.detection:
        images, boxes = detection_batch(ds, src, n, use_graph)
        about = ds.describe()
        return render_detection(images, boxes, [str(c) for c in about.classes],
                                shift=1 - about.class_offset)
    images, masks = segmentation_batch(ds, src, n, augment, use_graph)
    about = ds.describe()
    ignore_value = about.ignore_value if about.crowd == "ignore" else None
    return render_segmentation(images, masks, segmentation_names(ds), ignore_value)


def save_png(picture, out):
    from PIL import Image

    folder = os.path.dirname(os.path.abspath(out))
    os.makedirs(folder, exist_ok=True)
    Image.fromarray(picture).save(out, format="PNG")


def run(src, n=16, out="preview.png", augment=True, shape=(256, 256), native=False,
        use_graph=False, aug_cfg=DETECTION_AUG_CFG, crowd="object"):
    # A TFRecord dataset shows its plain samples when built without aug_cfg.
    ds = open_dataset(src, [shape[0], shape[1], 3], native_augment=native,
                      aug_cfg=aug_cfg if augment else None, crowd=crowd)
    picture = render(ds, src, n=n, augment=augment, use_graph=use_graph)
    save_png(picture, out)
    print("wrote {} ({} x {} pixels)".format(out, picture.shape[1], picture.shape[0]))
    return 0
