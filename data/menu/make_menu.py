#!/usr/bin/env python3
"""Writes the sample menu tables of a small restaurant as the host would: GBK text in
fixed byte columns, CR LF line ends. Run from anywhere; the files land beside this one."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

CATEGORIES = ["凉菜", "热菜", "海鲜", "汤羹", "主食", "小吃", "酒水"]

# (category, name, price, unit, discount flag, note, letter code)
DISHES = [
    (1, "拍黄瓜", 12.00, "份", "1", "蒜香 微辣", "PHG"),
    (1, "夫妻肺片", 32.00, "份", "1", "麻辣", "FQFP"),
    (1, "凉拌木耳", 16.00, "份", "1", "", "LBME"),
    (1, "口水鸡", 38.00, "份", "1", "招牌 麻辣", "KSJ"),
    (1, "皮蛋豆腐", 14.00, "份", "1", "", "PDDF"),
    (1, "酱牛肉", 46.00, "份", "1", "", "JNR"),
    (1, "糖醋小排", 36.00, "份", "1", "酸甜", "TCXP"),
    (1, "凉拌海蜇", 28.00, "份", "1", "", "LBHZ"),
    (2, "红烧肉", 48.00, "份", "1", "招牌菜", "HSR"),
    (2, "宫保鸡丁", 32.00, "份", "1", "微辣 含花生", "GBJD"),
    (2, "鱼香肉丝", 28.00, "份", "1", "微辣", "YXRS"),
    (2, "麻婆豆腐", 22.00, "份", "1", "麻辣", "MPDF"),
    (2, "回锅肉", 36.00, "份", "1", "", "HGR"),
    (2, "水煮牛肉", 58.00, "份", "1", "特辣", "SZNR"),
    (2, "糖醋里脊", 38.00, "份", "1", "酸甜", "TCLJ"),
    (2, "干煸四季豆", 24.00, "份", "1", "", "GBSJD"),
    (2, "地三鲜", 22.00, "份", "1", "", "DSX"),
    (2, "京酱肉丝", 34.00, "份", "1", "配豆皮", "JJRS"),
    (2, "辣子鸡", 48.00, "份", "1", "特辣", "LZJ"),
    (2, "东坡肘子", 88.00, "只", "0", "需等候30分钟", "DPZZ"),
    (2, "清炒时蔬", 18.00, "份", "1", "时令蔬菜", "QCSS"),
    (2, "番茄炒蛋", 18.00, "份", "1", "", "FQCD"),
    (2, "蚝油生菜", 16.00, "份", "1", "", "HYSC"),
    (2, "毛血旺", 52.00, "份", "1", "麻辣", "MXW"),
    (3, "清蒸鲈鱼", 78.00, "条", "0", "现杀", "QZLY"),
    (3, "油焖大虾", 98.00, "份", "0", "", "YMDX"),
    (3, "蒜蓉扇贝", 12.50, "只", "0", "按只点", "SRSB"),
    (3, "香辣蟹", 128.00, "斤", "0", "时价 按斤称", "XLX"),
    (3, "椒盐皮皮虾", 88.00, "份", "0", "", "JYPPX"),
    (3, "酸菜鱼", 68.00, "份", "1", "", "SCY"),
    (3, "白灼基围虾", 78.00, "斤", "0", "", "BZJWX"),
    (3, "葱烧海参", 188.00, "份", "0", "", "CSHS"),
    (4, "西湖牛肉羹", 28.00, "份", "1", "", "XHNRG"),
    (4, "酸辣汤", 18.00, "份", "1", "", "SLT"),
    (4, "紫菜蛋花汤", 12.00, "份", "1", "", "ZCDHT"),
    (4, "老鸭汤", 58.00, "锅", "1", "炖三小时", "LYT"),
    (4, "玉米排骨汤", 38.00, "份", "1", "", "YMPGT"),
    (4, "番茄蛋汤", 12.00, "份", "1", "", "FQDT"),
    (5, "米饭", 2.00, "碗", "0", "", "MF"),
    (5, "扬州炒饭", 22.00, "份", "1", "", "YZCF"),
    (5, "牛肉面", 26.00, "碗", "1", "", "NRM"),
    (5, "葱油饼", 8.00, "张", "1", "", "CYB"),
    (5, "水饺", 24.00, "份", "1", "猪肉白菜 二十只", "SJ"),
    (5, "馒头", 1.50, "个", "0", "", "MT"),
    (5, "担担面", 16.00, "碗", "1", "微辣", "DDM"),
    (5, "炒河粉", 20.00, "份", "1", "", "CHF"),
    (6, "春卷", 16.00, "份", "1", "", "CJ"),
    (6, "小笼包", 22.00, "笼", "1", "", "XLB"),
    (6, "烧卖", 18.00, "笼", "1", "", "SM"),
    (6, "炸鸡翅", 28.00, "份", "1", "", "ZJC"),
    (6, "葱油拌面", 14.00, "碗", "1", "", "CYBM"),
    (6, "红糖糍粑", 18.00, "份", "1", "", "HTCB"),
    (7, "青岛啤酒", 8.00, "瓶", "0", "", "QDPJ"),
    (7, "可口饮料", 6.00, "听", "0", "", "KKYL"),
    (7, "橙汁", 28.00, "扎", "0", "鲜榨", "CZ"),
    (7, "酸梅汤", 18.00, "扎", "0", "", "SMT"),
    (7, "二锅头", 26.00, "瓶", "0", "", "EGT"),
    (7, "矿泉水", 3.00, "瓶", "0", "", "KQS"),
    (7, "绿茶", 20.00, "壶", "0", "", "LC"),
    (7, "菊花茶", 20.00, "壶", "0", "", "JHC"),
]

SET_MEALS = [
    ("01", "商务套餐A", [("红烧肉", 1, 38.00), ("清炒时蔬", 1, 12.00), ("米饭", 1, 1.00)]),
    ("02", "商务套餐B", [("宫保鸡丁", 1, 26.00), ("紫菜蛋花汤", 1, 8.00), ("米饭", 1, 1.00)]),
    ("03", "双人套餐", [("口水鸡", 1, 30.00), ("水煮牛肉", 1, 48.00), ("酸辣汤", 1, 12.00),
                       ("米饭", 2, 1.00)]),
    ("04", "家庭套餐", [("清蒸鲈鱼", 1, 68.00), ("回锅肉", 1, 30.00), ("地三鲜", 1, 18.00),
                       ("老鸭汤", 1, 48.00), ("米饭", 4, 1.00)]),
    ("05", "早茶套餐", [("小笼包", 1, 18.00), ("烧卖", 1, 15.00), ("菊花茶", 1, 12.50)]),
]

REQUESTS = ["少辣", "不要辣", "多放辣", "不要香菜", "不要葱", "不要蒜", "少盐", "少油",
            "打包", "先上", "后上", "加急", "分开装", "要冰的", "要热的", "不要味精"]

RETURN_REASONS = ["上菜太慢", "点错菜", "菜品变质", "口味不对", "客人取消", "菜品有异物",
                  "份量不足", "重复下单", "厨房缺料"]


def gbk(text):
    return text.encode("gbk")


def field(data, width):
    assert len(data) <= width, data
    return data + b" " * (width - len(data))


def write(name, lines):
    with open(os.path.join(HERE, name), "wb") as out:
        for line in lines:
            out.write(line + b"\r\n")


def main():
    codes = {}
    dish_lines = []
    per_category = {}
    for cat, name, price, unit, flag, note, letters in DISHES:
        per_category[cat] = per_category.get(cat, 0) + 1
        code = "%02d%05d" % (cat, per_category[cat])
        codes[name] = code
        hundredths = round(price * 100)
        amount = "%6d.%02d" % (hundredths // 100, hundredths % 100)
        line = (gbk(code) + field(gbk(name), 20) + gbk(amount) + field(gbk(unit), 4) +
                field(gbk("%02d" % cat), 4) + gbk(flag) + field(gbk(note), 45) +
                field(gbk(letters), 10))
        assert len(line) == 100
        dish_lines.append(line)
    write("菜品表.txt", dish_lines)

    write("菜品类别表.txt", [gbk("%02d %s" % (i + 1, c)) for i, c in enumerate(CATEGORIES)])
    write("客户要求表.txt", [gbk(r) for r in REQUESTS])
    write("退菜理由表.txt", [gbk(r) for r in RETURN_REASONS])

    write("菜品套餐表.txt", [gbk(code) + field(gbk(name), 20) for code, name, _ in SET_MEALS])
    contents = []
    for code, _, items in SET_MEALS:
        for dish, count, price in items:
            head = gbk(code) + gbk(codes[dish]) + field(gbk("%d" % count), 7)
            assert len(head) == 16
            contents.append(head + gbk("%9.2f" % price) + gbk("份"))
    write("菜品套餐内容表.txt", contents)


if __name__ == "__main__":
    main()
