<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>QObject</name>
    <message>
        <source>tarvo-vexa-snsorwindow is already running!</source>
        <translation>tarvo-vexa-snsorwindow 已在运行！</translation>
    </message>
</context>
<context>
    <name>SensorWindow</name>
    <message>
        <source>重力传感器</source>
        <translation>重力传感器</translation>
    </message>
    <message>
        <source>Tilt up</source>
        <translation>向上倾斜</translation>
    </message>
    <message>
        <source>Tilt down</source>
        <translation>向下倾斜</translation>
    </message>
    <message>
        <source>Tilt left</source>
        <translation>向左倾斜</translation>
    </message>
    <message>
        <source>Tilt right</source>
        <translation>向右倾斜</translation>
    </message>
    <message>
        <source>Tilt up and left</source>
        <translation>向左上倾斜</translation>
    </message>
    <message>
        <source>Tilt down and left</source>
        <translation>向左下倾斜</translation>
    </message>
    <message>
        <source>Tilt up and right</source>
        <translation>向右上倾斜</translation>
    </message>
    <message>
        <source>Tilt down and right</source>
        <translation>向右下倾斜</translation>
    </message>
    <message>
        <source>Lie flat (pause)</source>
        <translation>平放（暂停）</translation>
    </message>
    <message>
        <source>%1: sends acceleration %2</source>
        <translation>%1：发送加速度 %2</translation>
    </message>
</context>
</TS>
